#include "bench/bench_tables.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/maintenance/scratch_table.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"

namespace tarvo::bench {

namespace {

// Bump when the generated content changes: cached tables of another version are rebuilt.
constexpr int kGeneratorVersion = 1;

// SplitMix64: small, fast and the same everywhere.
class TRandom {
 public:
  explicit TRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(((Next() >> 32) * n) >> 32); }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  std::uint64_t State() const { return state_; }

 private:
  std::uint64_t state_;
};

std::uint64_t Mix(std::uint64_t a, std::uint64_t b) {
  return TRandom(a * 0x9E3779B97F4A7C15ull + b).Next();
}

constexpr std::array<std::string_view, 64> kFirstNames = {
    "Aino",  "Anna",  "Antti",  "Eero",     "Elina",   "Emma",  "Helmi",  "Ilkka",  "Jari",   "Juha",
    "Kaisa", "Kari",  "Laura",  "Leena",    "Liisa",   "Marja", "Markku", "Matti",  "Mikko",  "Minna",
    "Niko",  "Olli",  "Pekka",  "Petri",    "Riikka",  "Sari",  "Seppo",  "Tapio",  "Timo",   "Tuula",
    "Ville", "Veera", "Maria",  "Johan",    "Erik",    "Karin", "Lars",   "Ingrid", "Sven",   "Astrid",
    "Peter", "Sofia", "Thomas", "Julia",    "Michael", "Sarah", "David",  "Hanna",  "Oskari", "Lotta",
    "Eino",  "Iida",  "Jussi",  "Kirsi",    "Lauri",   "Noora", "Paavo",  "Ronja",  "Sakari", "Tiina",
    "Urho",  "Venla", "Aleksi", "Katariina"};
constexpr std::array<std::string_view, 32> kSurnameHeads = {
    "Vir",  "Kor", "Nie", "Mak",   "Hei",  "Kos", "Jar", "Lai", "Lah", "Sal", "Aal",
    "Hak",  "Kar", "Lin", "Mus",   "Ojan", "Pel", "Ran", "Sep", "Tuo", "Vai", "Ahl",
    "Berg", "Hol", "Kiv", "Lehto", "Mie",  "Nur", "Pes", "Rii", "Sil", "Tik"};
constexpr std::array<std::string_view, 16> kSurnameMiddles = {"",   "ta", "ko", "la", "ri", "va", "ne", "mo",
                                                              "si", "ka", "lu", "ho", "pe", "ra", "vi", "ju"};
constexpr std::array<std::string_view, 16> kSurnameTails = {
    "nen",  "lainen", "koski", "maa",   "virta", "niemi", "salo", "harju",
    "maki", "oja",    "lahti", "vaara", "suo",   "aho",   "puro", "vuori"};
constexpr std::array<std::string_view, 25> kCityHeads = {
    "Hel", "Tam", "Tur", "Oul", "Jyv", "Lah", "Kuo", "Por", "Joen", "Lap", "Kot", "Vaa", "Sei",
    "Rov", "Mik", "Ham", "Kaj", "Sav", "Rau", "Ima", "Sal", "Kok",  "Nok", "Lov", "Ken"};
constexpr std::array<std::string_view, 20> kCityTails = {
    "sinki", "pere", "ku",   "u",      "askyla", "ti",    "pio",   "i",    "suu",   "peenranta",
    "ka",    "sa",   "joki", "aniemi", "keli",   "linna", "ranta", "vesi", "harju", "lahti"};
constexpr std::array<std::string_view, 48> kWords = {
    "the",     "customer", "asked",  "about",   "delivery", "of",     "order",    "and",
    "invoice", "was",      "sent",   "again",   "after",    "call",   "with",     "office",
    "payment", "received", "late",   "meeting", "next",     "week",   "contract", "renewed",
    "address", "changed",  "to",     "new",     "city",     "notes",  "from",     "visit",
    "prefers", "email",    "over",   "phone",   "in",       "winter", "summer",   "account",
    "closed",  "opened",   "review", "pending", "credit",   "limit",  "raised",   "twice"};

constexpr std::int32_t kFirstBornDay = 704'600;  // early 1930
constexpr std::int32_t kBornDays = 29'500;       // about 80 years

std::string FreshName(std::uint64_t seed, std::uint64_t k) {
  TRandom r(Mix(seed, k));
  std::string name(kFirstNames[r.Below(kFirstNames.size())]);
  name += ' ';
  const std::uint32_t initial = r.Below(40);  // some people give a middle initial
  if (initial < 26) {
    name += static_cast<char>('A' + initial);
    name += ". ";
  }
  name += kSurnameHeads[r.Below(kSurnameHeads.size())];
  name += kSurnameMiddles[r.Below(kSurnameMiddles.size())];
  name += kSurnameTails[r.Below(kSurnameTails.size())];
  return name;
}

std::string CityName(std::uint32_t c) {
  std::string city(kCityHeads[c % kCityHeads.size()]);
  city += kCityTails[(c / kCityHeads.size()) % kCityTails.size()];
  return city;
}

std::string NoteText(TRandom& r, std::size_t length) {
  std::string text;
  text.reserve(length + 16);
  bool sentence_start = true;
  while (text.size() < length) {
    std::string word(kWords[r.Below(kWords.size())]);
    if (sentence_start) word[0] = static_cast<char>(word[0] - 'a' + 'A');
    text += word;
    sentence_start = r.Below(9) == 0;
    text += sentence_start ? ". " : " ";
  }
  text.resize(length);
  return text;
}

double Megabytes(long kilobytes) {
  return static_cast<double>(kilobytes) / 1024.0;
}

// A "Vm...:   1234 kB" line of /proc/self/status in kilobytes; -1 when missing.
long StatusKilobytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
  }
  return -1;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::uint64_t FoldedNameHash(std::string_view name) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a over the upper-cased characters
  for (const char c : name) {
    const char u = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    h = (h ^ static_cast<unsigned char>(u)) * 1099511628211ull;
  }
  return h;
}

TPeopleGenerator::TPeopleGenerator(std::uint64_t seed) : seed_(seed), state_(seed) {}

std::uint32_t TPeopleGenerator::CityCount() {
  return static_cast<std::uint32_t>(kCityHeads.size() * kCityTails.size());
}

void TPeopleGenerator::Next(TPeopleRow& row) {
  TRandom r(state_);
  if (fresh_ > 0 && r.Unit() < 0.30) {
    row.name = FreshName(seed_, r.Below(static_cast<std::uint32_t>(fresh_)));
    if (r.Below(5) == 0) {  // the same person typed in capitals
      for (char& c : row.name) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
  } else {
    row.name = FreshName(seed_, fresh_++);
  }
  // A few big cities and a long tail.
  const double u = r.Unit();
  row.city_number = static_cast<std::uint32_t>(u * u * static_cast<double>(CityCount()));
  row.city = CityName(row.city_number);
  row.amount = static_cast<double>(r.Below(10'000'000)) / 100.0;
  row.born = kFirstBornDay + static_cast<std::int32_t>(r.Below(kBornDays));
  row.active = r.Below(10) < 7;
  row.has_notes = r.Below(5) == 0;
  if (row.has_notes) {
    row.notes = NoteText(r, 100 + r.Below(2901));
  } else {
    row.notes.clear();
  }
  state_ = r.State();
}

TTableDefinition PeopleDefinition() {
  TTableDefinition d;
  // In the order of kPeopleId .. kPeopleNotes.
  d.fields = testing::Numbered({testing::Field("ID", kTypeInt32, 0, kSubTypeAutoInc),
                                testing::Field("Name", kTypeText, 40), testing::Field("City", kTypeText, 30),
                                testing::Field("Amount", kTypeFloat), testing::Field("Born", kTypeDate),
                                testing::Field("Active", kTypeBoolean),
                                testing::Field("Notes", kTypeBlob, 0, kSubTypeMemo)});
  d.indexes = {Index("", {kPeopleId}, true), Index("ByName", {kPeopleName}, false),
               Index("ByCityBorn", {kPeopleCity, kPeopleBorn}, false)};
  d.indexes[1].case_insensitive = 1;
  d.blob_block_size = 512;
  return d;
}

TPeopleStats BuildPeopleTable(const std::filesystem::path& directory, std::int32_t count, std::uint64_t seed,
                              std::int32_t write_every, const std::string& table) {
  std::filesystem::create_directories(directory);
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
    std::filesystem::remove(directory / (table + extension));
  }
  TPeopleStats stats;
  TDataSession session;
  TDataDirectory* dir = session.GetDirectory("", directory.string() + "/");
  dir->CreateTable(table, PeopleDefinition());
  {
    TDataCursor cursor(session, *dir);
    TCursorOpenOptions options;
    options.table_name = table;
    options.exclusive = true;
    cursor.Open(options);
    SizeCachesForBulk(cursor.Table());
    const auto& f = cursor.Descriptors();
    TPeopleGenerator generator(seed);
    TPeopleRow row;
    std::vector<std::uint64_t> name_hashes;
    name_hashes.reserve(static_cast<std::size_t>(count));
    std::vector<bool> city_seen(TPeopleGenerator::CityCount());
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    const auto t0 = std::chrono::steady_clock::now();
    for (std::int32_t i = 0; i < count; ++i) {
      std::fill(record.begin(), record.end(), std::byte{0});
      generator.Next(row);
      name_hashes.push_back(FoldedNameHash(row.name));
      city_seen[row.city_number] = true;
      PutText(FieldSlot(record, f[kPeopleName - 1]), row.name, 0, 0, 0);
      PutText(FieldSlot(record, f[kPeopleCity - 1]), row.city, 0, 0, 0);
      PutFloat(FieldSlot(record, f[kPeopleAmount - 1]), row.amount);
      PutDate(FieldSlot(record, f[kPeopleBorn - 1]), row.born);
      PutBoolean(FieldSlot(record, f[kPeopleActive - 1]), row.active ? 1 : 0);
      if (row.has_notes) {
        cursor.SetBlobField(record, kPeopleNotes, std::as_bytes(std::span(row.notes)));
        ++stats.notes;
        stats.note_bytes += static_cast<std::int64_t>(row.notes.size());
      }
      (void)cursor.AddRecord(record, false);
      ++stats.added;
    }
    const auto t1 = std::chrono::steady_clock::now();
    cursor.SelectSlotOrder();
    for (std::int32_t slot = 10; slot <= count; slot += 10) {
      if (!cursor.GoToSlot(slot)) continue;
      const std::vector<std::byte> image = cursor.CurrentRecord();
      cursor.DeleteRecord(image, false);
      ++stats.deleted;
      if (write_every > 0 && stats.deleted % write_every == 0) cursor.Table().WriteAll(false, false);
    }
    cursor.Close();
    const auto t2 = std::chrono::steady_clock::now();
    stats.load_seconds = std::chrono::duration<double>(t1 - t0).count();
    stats.delete_seconds = std::chrono::duration<double>(t2 - t1).count();
    std::sort(name_hashes.begin(), name_hashes.end());
    const auto distinct = std::unique(name_hashes.begin(), name_hashes.end()) - name_hashes.begin();
    stats.repeated_names = count - distinct;
    stats.distinct_cities = std::count(city_seen.begin(), city_seen.end(), true);
  }
  (void)session.ReleaseDirectory(dir);
  return stats;
}

void CreateEmptyPeopleTable(const std::filesystem::path& directory, const std::string& table) {
  std::filesystem::create_directories(directory);
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
    std::filesystem::remove(directory / (table + extension));
  }
  TDataSession session;
  TDataDirectory* dir = session.GetDirectory("", directory.string() + "/");
  dir->CreateTable(table, PeopleDefinition());
  (void)session.ReleaseDirectory(dir);
}

void CopyTableFiles(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::filesystem::remove_all(to);
  std::filesystem::create_directories(to);
  for (const auto& entry : std::filesystem::directory_iterator(from)) {
    if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
    std::filesystem::copy_file(entry.path(), to / entry.path().filename());
  }
}

std::int64_t DirectoryBytes(const std::filesystem::path& directory) {
  std::int64_t total = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.is_regular_file()) total += static_cast<std::int64_t>(entry.file_size());
  }
  return total;
}

TChildRun RunInChild(const std::function<void(TChildValues&)>& operation,
                     const std::function<void(TChildValues&)>& after) {
  TChildRun run;
  int fds[2];
  if (::pipe(fds) != 0) {
    run.error = "pipe failed";
    return run;
  }
  std::cout.flush();
  std::cerr.flush();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    run.error = "fork failed";
    return run;
  }
  if (pid == 0) {
    ::close(fds[0]);
    std::ostringstream out;
    out.precision(17);
    try {
      // "5" resets the peak resident size to the current one (Linux 4.0 and later).
      { std::ofstream("/proc/self/clear_refs") << "5"; }
      const long start = StatusKilobytes("VmRSS");
      TChildValues values;
      const auto t0 = std::chrono::steady_clock::now();
      operation(values);
      const auto t1 = std::chrono::steady_clock::now();
      const long peak = StatusKilobytes("VmHWM");
      if (after) after(values);
      out << "seconds " << std::chrono::duration<double>(t1 - t0).count() << "\n";
      out << "start_kb " << start << "\n"
          << "peak_kb " << peak << "\n";
      for (const auto& [key, value] : values) out << "value " << key << " " << value << "\n";
      out << "ok\n";
    } catch (const std::exception& e) {
      out << "error " << e.what() << "\n";
    } catch (...) {
      out << "error unknown exception\n";
    }
    (void)WriteAll(fds[1], out.str());
    ::close(fds[1]);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t n = ::read(fds[0], chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.child_maxrss_mb = Megabytes(usage.ru_maxrss);
  run.child_cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::istringstream in(text);
  std::string line;
  long start_kb = 0;
  long peak_kb = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "seconds")
      words >> run.seconds;
    else if (key == "start_kb")
      words >> start_kb;
    else if (key == "peak_kb")
      words >> peak_kb;
    else if (key == "ok")
      run.ok = true;
    else if (key == "error")
      std::getline(words, run.error);
    else if (key == "value") {
      std::string name;
      double value = 0;
      words >> name >> value;
      run.values[name] = value;
    }
  }
  if (!run.ok && run.error.empty()) run.error = "child ended with status " + std::to_string(status);
  run.start_rss_mb = Megabytes(start_kb);
  run.peak_rss_mb = Megabytes(peak_kb);
  run.growth_mb = run.peak_rss_mb - run.start_rss_mb;
  return run;
}

TPristineTables& TPristineTables::Instance() {
  static TPristineTables tables;
  return tables;
}

TPristineTables::TPristineTables() {
  if (const char* cache = std::getenv("TARVO_BENCH_CACHE"); cache != nullptr && *cache != '\0') {
    root_ = cache;
    keep_ = true;
  } else {
    root_ = std::filesystem::temp_directory_path() / ("tarvo_maint_bench_" + std::to_string(::getpid()));
  }
  std::filesystem::create_directories(root_);
}

TPristineTables::~TPristineTables() {
  std::error_code error;
  if (keep_) {
    for (const auto& entry : std::filesystem::directory_iterator(root_, error)) {
      if (entry.path().filename().string().starts_with("work_"))
        std::filesystem::remove_all(entry.path(), error);
    }
  } else {
    std::filesystem::remove_all(root_, error);
  }
}

const std::filesystem::path& TPristineTables::Get(std::int32_t count) {
  if (const auto found = built_.find(count); found != built_.end()) return found->second;
  const std::filesystem::path dir = root_ / ("pristine_" + std::to_string(count));
  const std::string stamp = std::string(kPeopleTable) + " " + std::to_string(count) + " " +
                            std::to_string(kDefaultSeed) + " " + std::to_string(kGeneratorVersion);
  std::string existing;
  if (std::ifstream in(dir / ".stamp"); in) std::getline(in, existing);
  if (!keep_ || existing != stamp) {
    std::filesystem::remove_all(dir);
    const TChildRun run = RunInChild([&](TChildValues& values) {
      const TPeopleStats stats = BuildPeopleTable(dir, count);
      values["added"] = static_cast<double>(stats.added);
      values["deleted"] = static_cast<double>(stats.deleted);
      values["notes"] = static_cast<double>(stats.notes);
      values["note_bytes"] = static_cast<double>(stats.note_bytes);
      values["repeated_names"] = static_cast<double>(stats.repeated_names);
      values["distinct_cities"] = static_cast<double>(stats.distinct_cities);
      values["load_seconds"] = stats.load_seconds;
      values["delete_seconds"] = stats.delete_seconds;
    });
    if (!run.ok) throw std::runtime_error("building the People table failed: " + run.error);
    std::ofstream(dir / ".stamp") << stamp << "\n";
    std::cerr << "People table of " << count << " records built in " << run.seconds << " s (peak growth "
              << run.growth_mb << " MiB):";
    for (const auto& [key, value] : run.values) std::cerr << " " << key << "=" << value;
    std::cerr << ", files " << DirectoryBytes(dir) / (1 << 20) << " MiB\n";
  }
  return built_.emplace(count, dir).first->second;
}

std::filesystem::path TPristineTables::WorkDirectory(const std::string& name) {
  const std::filesystem::path dir = root_ / ("work_" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

TBenchEngine::TBenchEngine(const std::filesystem::path& directory)
    : session_(std::make_unique<TDataSession>()) {
  directory_ = session_->GetDirectory("", directory.string());
}

TBenchEngine::~TBenchEngine() {
  (void)session_->ReleaseDirectory(directory_);
}

TCursorOpenOptions ExclusivePeople() {
  TCursorOpenOptions options;
  options.table_name = kPeopleTable;
  options.exclusive = true;
  return options;
}

double SelfPeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return Megabytes(usage.ru_maxrss);
}

int RunProgram(const char* name, int (*main)(int, char**), int argc, char** argv) {
  try {
    return main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << name << ": " << e.what() << "\n";
    return 1;
  }
}

TIndexDescriptor Index(const std::string& name, std::initializer_list<std::uint16_t> fields, bool unique,
                       bool case_insensitive) {
  TIndexDescriptor d;
  d.name = name;
  d.unique = unique ? 1 : 0;
  d.case_insensitive = case_insensitive ? 1 : 0;
  for (const std::uint16_t number : fields) d.field_numbers[d.field_count++] = number;
  return d;
}

}  // namespace tarvo::bench
