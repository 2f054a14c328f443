// velmora-demo-db: writes a database of made-up controllers for the hardware
// service, the same rows for the same count on every machine and library version.
//
//   velmora-demo-db <file> [--rows N] [--force]
//
// N defaults to 200; 50 controllers per site. An existing file is kept unless
// --force is given; the new database is written beside it and renamed over it only
// when complete, so a failure leaves the old file as it was.

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr std::uint64_t kDefaultRows = 200;
constexpr std::uint64_t kMaxRows = 100'000'000;
constexpr int kControllersPerSite = 50;

// splitmix64: tiny, fast and fully specified, unlike the standard distributions,
// whose output may change with the library.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : FState(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A number below n; the bias of the modulo is far below anything a demo shows.
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }

 private:
  std::uint64_t FState;
};

// Every type code the client names, then some it does not (they list as blank).
constexpr int kAllCodes[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 11, 13, 25, 30, 32, 40, 41, 6, 10, 12};

struct WeightedCode {
  int Code;
  std::uint32_t Weight;
};
// Old Arden models are the bulk of an installed base; unknown codes are rare.
constexpr WeightedCode kCodeWeights[] = {
    {0, 18}, {1, 7}, {2, 7}, {3, 10}, {4, 4}, {5, 4}, {7, 6}, {8, 5},  {9, 4},  {11, 3},
    {13, 3}, {25, 4}, {30, 6}, {32, 4}, {40, 3}, {41, 3}, {6, 1}, {10, 1}, {12, 1},
};

constexpr const char* kPlaces[] = {
    "North gate",    "South gate",       "Main entrance",     "Boiler room",      "Loading dock A",
    "Loading dock B", "Server room",     "Reception",         "Staff car park",   "Visitor car park",
    "Warehouse aisle 4", "Cold store",   "Pharmacy store",    "Laboratory wing",  "Plant room",
    "Roof access",   "Fire exit east",   "Fire exit west",    "Goods lift lobby", "Cash office",
    "Workshop",      "Canteen",          "Records archive",   "Security lodge",
};
constexpr const char* kDevices[] = {
    "reader", "panel", "door", "controller", "barrier", "turnstile",
    "keypad", "door interlock", "gate motor", "alarm input", "exit button",
};
constexpr std::string_view kNotes[] = {
    " - east wing", " - level 2", " (shared with tenant)", " - behind the canteen",
    " (access after 18:00 only)", " - old building", " - replaced 2019",
};
// Names from sites abroad: accented Latin, other scripts, right-to-left text.
constexpr const char* kForeign[] = {
    "Zürich Lagerhalle Tor 2",
    "Łódź magazyn wejście",
    "Ålesund kai nord",
    "Besançon accueil porte",
    "São Paulo doca 3",
    "Straße Eingang Süd",
    "Малый склад ворота 1",
    "שער צפוני בניין 2",
    "البوابة الرئيسية مبنى 3",
    "東京倉庫 北ゲート 入口",
};

template <class T, std::size_t N>
constexpr std::uint32_t Count(const T (&)[N]) {
  return static_cast<std::uint32_t>(N);
}

struct Row {
  int Site = 0;
  int Controller = 0;
  int Type = 0;
  bool HasDescription = false;
  std::string Description;
  bool HasConnectArden = false;
  int ConnectArden = 0;
};

// Row i, drawing from random in the same order for every row.
void MakeRow(std::uint64_t i, SplitMix64& random, Row& row) {
  row.Site = static_cast<int>(i / kControllersPerSite + 1);
  row.Controller = static_cast<int>(i % kControllersPerSite + 1);

  // The first rows take every code once, so even a small demo shows them all.
  std::uint32_t pick = random.Below(100);
  if (i < Count(kAllCodes)) {
    row.Type = kAllCodes[i];
  } else {
    std::uint32_t total = 0;
    for (const WeightedCode& w : kCodeWeights) total += w.Weight;
    std::uint32_t left = pick % total;
    for (const WeightedCode& w : kCodeWeights) {
      if (left < w.Weight) {
        row.Type = w.Code;
        break;
      }
      left -= w.Weight;
    }
  }

  const std::uint32_t description = random.Below(1000);
  const std::uint32_t place = random.Below(Count(kPlaces));
  const std::uint32_t device = random.Below(Count(kDevices));
  const std::uint32_t number = random.Below(24);
  row.HasDescription = description >= 30;  // 3 % unnamed
  row.Description.clear();
  if (!row.HasDescription) {
    // stays null
  } else if (description < 50) {  // 2 % from sites abroad
    row.Description = kForeign[place % Count(kForeign)];
  } else {
    // Appended piece by piece: GCC 12 at -O3 warns falsely about temporaries here.
    row.Description.append(kPlaces[place]).append(" ").append(kDevices[device]);
    if (number < 12) row.Description.append(" ").append(std::to_string(number + 1));
    // Some carry a note where to find them, as operators write them.
    if (const std::string_view note = kNotes[device % Count(kNotes)];
        number % 6 == 0 && row.Description.size() + note.size() <= 60) {
      row.Description += note;
    }
  }

  const std::uint32_t flag = random.Below(1000);
  row.HasConnectArden = flag >= 20;  // 2 % never set
  row.ConnectArden = flag >= 20 && random.Below(100) < 15 ? 1 : 0;
}

void RemoveDatabaseFiles(const std::string& file) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((file + suffix).c_str());
}

// The database and its statement, finalized and closed on every way out.
class DemoWriter {
 public:
  DemoWriter() = default;
  DemoWriter(const DemoWriter&) = delete;
  DemoWriter& operator=(const DemoWriter&) = delete;
  ~DemoWriter() {
    sqlite3_finalize(FInsert);
    sqlite3_close(FDb);
  }

  // Writes rows rows to file; an empty string, or SQLite's message.
  std::string Write(const std::string& file, std::uint64_t rows) {
    if (sqlite3_open_v2(file.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
      return Message();
    }
    // Nothing is durable until the rename, so the writing needs no syncs; the
    // one transaction and the large cache keep the b-tree appends cheap.
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=OFF") || !Exec("PRAGMA cache_size=-65536") ||
        !Exec("CREATE TABLE Controllers (Site INTEGER NOT NULL, Controller INTEGER NOT NULL, "
              "ControllerType INTEGER, Description TEXT, ConnectArden INTEGER, PRIMARY KEY (Site, Controller))") ||
        !Exec("BEGIN")) {
      return Message();
    }
    if (sqlite3_prepare_v2(FDb, "INSERT INTO Controllers VALUES (?1, ?2, ?3, ?4, ?5)", -1, &FInsert, nullptr) !=
        SQLITE_OK) {
      return Message();
    }
    SplitMix64 random(0x5645'4C4D'4F52'4131ull);
    Row row;
    for (std::uint64_t i = 0; i < rows; ++i) {
      MakeRow(i, random, row);
      sqlite3_bind_int(FInsert, 1, row.Site);
      sqlite3_bind_int(FInsert, 2, row.Controller);
      sqlite3_bind_int(FInsert, 3, row.Type);
      if (row.HasDescription) {
        sqlite3_bind_text(FInsert, 4, row.Description.data(), static_cast<int>(row.Description.size()),
                          SQLITE_STATIC);
      } else {
        sqlite3_bind_null(FInsert, 4);
      }
      if (row.HasConnectArden) {
        sqlite3_bind_int(FInsert, 5, row.ConnectArden);
      } else {
        sqlite3_bind_null(FInsert, 5);
      }
      if (sqlite3_step(FInsert) != SQLITE_DONE) return Message();
      sqlite3_reset(FInsert);
    }
    // With the data in, make it durable the way the service will keep it.
    if (!Exec("COMMIT") || !Exec("PRAGMA synchronous=FULL") || !Exec("PRAGMA wal_checkpoint(TRUNCATE)")) {
      return Message();
    }
    sqlite3_finalize(std::exchange(FInsert, nullptr));
    if (sqlite3_close(FDb) != SQLITE_OK) return Message();
    FDb = nullptr;
    return {};
  }

 private:
  bool Exec(const char* sql) { return sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
  std::string Message() const { return FDb ? sqlite3_errmsg(FDb) : "out of memory"; }

  sqlite3* FDb = nullptr;
  sqlite3_stmt* FInsert = nullptr;
};

int Usage() {
  std::fputs("usage: velmora-demo-db <file> [--rows N] [--force]\n"
             "  writes N made-up controllers (default 200, 50 per site) to a new SQLite file;\n"
             "  --force replaces an existing file (close every program using it first)\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string file;
  std::uint64_t rows = kDefaultRows;
  bool force = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--force") {
      force = true;
    } else if (arg == "--rows" && i + 1 < argc) {
      const std::string_view value = argv[++i];
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), rows);
      if (ec != std::errc() || end != value.data() + value.size() || rows > kMaxRows) {
        std::fprintf(stderr, "velmora-demo-db: --rows takes a number from 0 to %llu, not '%s'\n",
                     static_cast<unsigned long long>(kMaxRows), argv[i]);
        return 2;
      }
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else if (!arg.empty() && arg.front() != '-' && file.empty()) {
      file = arg;
    } else {
      return Usage();
    }
  }
  if (file.empty()) return Usage();

  struct stat info{};
  if (stat(file.c_str(), &info) == 0 && !force) {
    std::fprintf(stderr, "velmora-demo-db: %s exists; give --force to replace it\n", file.c_str());
    return 1;
  }

  // The default database lives in a folder a new user does not have yet.
  if (const std::filesystem::path folder = std::filesystem::path(file).parent_path(); !folder.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      std::fprintf(stderr, "velmora-demo-db: cannot create %s: %s\n", folder.c_str(), ec.message().c_str());
      return 1;
    }
  }
  const std::string partial = file + ".partial";
  RemoveDatabaseFiles(partial);
  std::string error;
  {
    DemoWriter writer;
    error = writer.Write(partial, rows);
  }
  if (error.empty()) {
    // The old file's log and index must not outlive it: SQLite would apply them to
    // the new one.
    unlink((file + "-wal").c_str());
    unlink((file + "-shm").c_str());
    if (std::rename(partial.c_str(), file.c_str()) != 0) error = std::strerror(errno);
  }
  if (!error.empty()) {
    RemoveDatabaseFiles(partial);
    std::fprintf(stderr, "velmora-demo-db: cannot write %s: %s\n", file.c_str(), error.c_str());
    return 1;
  }
  const std::uint64_t sites = (rows + kControllersPerSite - 1) / kControllersPerSite;
  std::printf("velmora-demo-db: wrote %llu controller%s on %llu site%s to %s\n", static_cast<unsigned long long>(rows),
              rows == 1 ? "" : "s", static_cast<unsigned long long>(sites), sites == 1 ? "" : "s", file.c_str());
  return 0;
}
