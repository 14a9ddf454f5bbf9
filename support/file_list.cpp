#include "support/file_list.h"

#include <memory>

#include "errors/engine_error.h"
#include "support/memory_block.h"
#include "support/memory_file.h"
#include "support/physical_file.h"
#include "support/platform.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

constexpr int Negated(TEngineCode code) {
  return -static_cast<int>(code);
}

// The name without its directory and extension, blanks trimmed.
std::string_view BareName(std::string_view name) {
  const auto slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  const auto dot = name.find_last_of('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return TrimBlanks(name);
}

std::unique_ptr<TAbstractFile> NewFile(bool in_memory) {
  if (in_memory) return std::make_unique<TMemoryFile>();
  return std::make_unique<TPhysicalFile>();
}

}  // namespace

TFileList::~TFileList() {
  std::lock_guard lock(guard_);
  for (std::size_t i = 0; i < files_.Count(); ++i) delete files_.At<TAbstractFile>(i);
  files_.Clear();
}

TAbstractFile* TFileList::FindByName(const std::string& name, bool in_memory) const {
  const std::string_view wanted = TrimBlanks(name);
  for (std::size_t i = 0; i < files_.Count(); ++i) {
    TAbstractFile* file = files_.At<TAbstractFile>(i);
    if (file->InMemory() == in_memory && SameNameIgnoringCase(TrimBlanks(file->FileName()), wanted))
      return file;
  }
  return nullptr;
}

TAbstractFile* TFileList::FindOpenPhysical(const std::string& name) const {
  std::string path;
  TFileIdentity identity;
  if (ResolveFileName(std::string(TrimBlanks(name)), path) != kOsOk ||
      OsPathIdentity(path, identity) != kOsOk) {
    return nullptr;
  }
  for (std::size_t i = 0; i < files_.Count(); ++i) {
    auto* file = files_.At<TAbstractFile>(i);
    if (!file->InMemory() && static_cast<TPhysicalFile*>(file)->SameFile(identity)) return file;
  }
  return nullptr;
}

TAbstractFile* TFileList::Find(const std::string& name, bool in_memory) const {
  TAbstractFile* file = FindByName(name, in_memory);
  // Another name may lead to a physical file that is open already.
  if ((file == nullptr || file->OpenerCount() == 0) && !in_memory) {
    if (TAbstractFile* open = FindOpenPhysical(name)) return open;
  }
  return file;
}

void TFileList::Unlist(TAbstractFile* file) {
  const std::int64_t index = files_.IndexOf(file);
  if (index >= 0) files_.Delete(static_cast<std::size_t>(index));
  delete file;
}

bool TFileList::EntryExists(const std::string& name, bool in_memory) {
  std::lock_guard lock(guard_);
  const std::string cut = CutToShortText(name);
  TAbstractFile* file = Find(cut, in_memory);
  if (in_memory) return file != nullptr;
  // A physical object without openers may stand for a file that has gone meanwhile: ask the disk.
  if (file != nullptr && file->OpenerCount() > 0) return true;
  std::string path;
  const TOsError found = ResolveFileName(std::string(TrimBlanks(cut)), path);
  // Several files that differ only in case exist; opening will say which.
  if (found == kOsAmbiguousName) return true;
  return found == kOsOk && OsFileExists(path);
}

int TFileList::CreateEntry(const std::string& name, bool in_memory, bool temporary, TAbstractFile** created,
                           TFileCreation creation) {
  std::lock_guard lock(guard_);
  if (created != nullptr) *created = nullptr;
  const std::string cut = CutToShortText(name);
  if (BareName(cut).empty()) return Negated(kInvalidPath);
  TAbstractFile* file = Find(cut, in_memory);
  if (file != nullptr && file->OpenerCount() > 0) return Negated(kAccessDenied);
  // A listed in-memory file exists (a physical one is asked of the disk).
  if (file != nullptr && in_memory && creation != TFileCreation::kReplace) return Negated(kTableExists);
  std::unique_ptr<TAbstractFile> fresh;
  if (file == nullptr) {
    fresh = NewFile(in_memory);
    file = fresh.get();
  }
  file->SetFileName(TrimBlanks(cut));
  file->SetExclusive(true);
  file->SetTemporary(temporary);
  file->SetCreation(creation);
  const int result = file->CreateNew();
  if (fresh) {
    if (result < 0) return result;  // a new object that opened nothing is not kept
    files_.Add(fresh.release());
  }
  if (result > 0 && created != nullptr) *created = file;
  return result;
}

int TFileList::OpenEntry(const std::string& name, bool in_memory, const TOpenRequest& request,
                         TOpenedEntry& opened) {
  std::lock_guard lock(guard_);
  opened = {};
  const std::string cut = CutToShortText(name);
  TAbstractFile* file = Find(cut, in_memory);
  std::unique_ptr<TAbstractFile> fresh;
  if (file != nullptr && file->OpenerCount() > 0) {
    // Join the current opening, whose options stay in force.
    if (file->Exclusive() || request.exclusive) return Negated(kAccessDenied);
  } else {
    if (file == nullptr) {
      if (in_memory) return Negated(kInvalidPath);
      fresh = NewFile(false);
      file = fresh.get();
    }
    // A reused object takes the name as asked now: it is what leads to the file on disk.
    file->SetFileName(TrimBlanks(cut));
    file->SetExclusive(request.exclusive);
    file->SetTemporary(request.temporary);
    file->SetWriteThrough(request.write_through);
    file->SetSequentialScan(request.sequential_scan);
    file->SetReadingOnly(request.reading_only);
  }
  const int result = file->Open();
  if (fresh) {
    if (result < 0) return result;
    files_.Add(fresh.release());
  }
  if (result > 0) {
    opened.file = file;
    opened.read_only_attribute = file->ReadOnlyAttribute();
  }
  return result;
}

int TFileList::CloseEntry(TAbstractFile* file, bool in_memory, std::int32_t id) {
  std::lock_guard lock(guard_);
  if (file == nullptr || files_.IndexOf(file) < 0 || file->InMemory() != in_memory ||
      file->OpenerCount() == 0) {
    return Negated(kInvalidPath);
  }
  if (const int result = file->Close(id); result < 0) return result;
  if (file->OpenerCount() == 0 && file->Temporary()) {
    if (in_memory) (void)file->Delete();  // its memory goes with the entry below either way
    Unlist(file);
  }
  return 0;
}

int TFileList::RenameEntry(const std::string& name, bool in_memory, const std::string& new_name) {
  std::lock_guard lock(guard_);
  const std::string cut = CutToShortText(name);
  const std::string new_cut(TrimBlanks(CutToShortText(new_name)));
  if (BareName(new_cut).empty()) return Negated(kInvalidPath);
  TAbstractFile* file = Find(cut, in_memory);
  if (file != nullptr && file->OpenerCount() > 0) return Negated(kAccessDenied);
  // An object listed under the new name must not be open, and goes once the rename succeeds.
  TAbstractFile* target = Find(new_cut, in_memory);
  if (target == file) target = nullptr;
  if (target != nullptr && target->OpenerCount() > 0) return Negated(kAccessDenied);
  if (in_memory && target != nullptr) return Negated(EngineCodeFromOsError(kOsAlreadyExists));
  if (file == nullptr) {
    if (in_memory) return Negated(kInvalidPath);
    TPhysicalFile transient;
    transient.SetFileName(TrimBlanks(cut));
    return transient.Rename(new_cut);
  }
  const int result = file->Rename(new_cut);
  if (result == 0 && target != nullptr) Unlist(target);
  return result;
}

int TFileList::DeleteEntry(const std::string& name, bool in_memory) {
  std::lock_guard lock(guard_);
  const std::string cut = CutToShortText(name);
  TAbstractFile* file = Find(cut, in_memory);
  if (file != nullptr && file->OpenerCount() > 0) return Negated(kAccessDenied);
  if (file == nullptr) {
    if (in_memory) return Negated(kInvalidPath);
    TPhysicalFile transient;
    transient.SetFileName(TrimBlanks(cut));
    return transient.Delete();
  }
  const int result = file->Delete();
  Unlist(file);
  return result;
}

int TFileList::CopyEntryTo(TAbstractFile* file, std::int32_t id, const std::string& destination,
                           bool in_memory) {
  std::lock_guard lock(guard_);
  if (file == nullptr || files_.IndexOf(file) < 0 || file->FindOpener(id) < 0)
    return Negated(kInvalidFileHandle);
  TMemoryBlock block(kCopyBlockSize);
  if (const int rc = block.TryReserve(kCopyBlockSize); rc < 0) return rc;
  TAbstractFile* target = nullptr;
  const int target_id = CreateEntry(destination, in_memory, false, &target);
  if (target_id < 0) return target_id;
  int result = 0;
  (void)file->Seek(id, 0, TSeekOrigin::kBegin);
  const std::span<std::byte> buffer = block.Bytes().first(kCopyBlockSize);
  for (;;) {
    const std::int64_t got = file->Read(id, buffer);
    if (got < 0) {
      result = Negated(kReadError);
      break;
    }
    if (got > 0 && target->Write(target_id, buffer.first(static_cast<std::size_t>(got))) != got) {
      result = Negated(kWriteError);
      break;
    }
    if (got < static_cast<std::int64_t>(kCopyBlockSize)) break;
  }
  const int closed = CloseEntry(target, in_memory, target_id);
  return result < 0 ? result : closed;
}

int TFileList::CopyEntryFrom(TAbstractFile* file, std::int32_t id, const std::string& source,
                             bool in_memory) {
  std::lock_guard lock(guard_);
  if (file == nullptr || files_.IndexOf(file) < 0 || file->FindOpener(id) < 0)
    return Negated(kInvalidFileHandle);
  TMemoryBlock block(kCopyBlockSize);
  if (const int rc = block.TryReserve(kCopyBlockSize); rc < 0) return rc;
  TOpenRequest request;
  request.exclusive = true;
  request.sequential_scan = true;
  TOpenedEntry opened;
  const int source_id = OpenEntry(source, in_memory, request, opened);
  if (source_id < 0) return source_id;
  int result = 0;
  (void)opened.file->Seek(source_id, 0, TSeekOrigin::kBegin);
  const std::span<std::byte> buffer = block.Bytes().first(kCopyBlockSize);
  for (;;) {
    const std::int64_t got = opened.file->Read(source_id, buffer);
    if (got < 0) {
      result = Negated(kReadError);
      break;
    }
    if (got > 0 && file->Write(id, buffer.first(static_cast<std::size_t>(got))) != got) {
      result = Negated(kWriteError);
      break;
    }
    if (got < static_cast<std::int64_t>(kCopyBlockSize)) break;
  }
  const int closed = CloseEntry(opened.file, in_memory, source_id);
  return result < 0 ? result : closed;
}

std::size_t TFileList::EntryCount() const {
  std::lock_guard lock(guard_);
  return files_.Count();
}

std::size_t TFileList::TotalOpeners() const {
  std::lock_guard lock(guard_);
  std::size_t total = 0;
  for (std::size_t i = 0; i < files_.Count(); ++i) {
    total += static_cast<std::size_t>(files_.At<TAbstractFile>(i)->OpenerCount());
  }
  return total;
}

TFileList& EngineFileList() {
  static TFileList list;
  return list;
}

}  // namespace tarvo
