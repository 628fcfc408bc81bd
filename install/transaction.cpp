#include "transaction.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "basedir.h"
#include "durable.h"
#include "files.h"
#include "report.h"
#include "tree.h"

namespace {

// The journal is text, one record per line: the record, a space, and eight
// hex digits of its checksum. A line that lacks its end or whose checksum
// does not match (a write cut off by a crash) ends the journal there.
//   updater-journal 1      first line
//   D <relative path>      a directory the swap creates
//   F <relative path>      a file the swap moves in
//   P <count>              end of the plan: <count> D and F records
//   C                      the swap is complete and on the disk
//   U                      an undo begins all the same: the C before it
//                          could not be put on the disk
//   E                      a run's undo failed (counted across runs)
//   R                      the swap was undone, and that is on the disk
const std::string kHeader = "updater-journal 1";
const std::string kSwapped = "C";
const std::string kUndoing = "U";
const std::string kUndoFailed = "E";
const std::string kRolledBack = "R";
const std::string kRecordFailed = "K";

// Runs whose undo, or whose record of a finished install, fails before
// what they cannot do is given up.
constexpr int kUndoTries = 3;

// For the lines: every system's printf takes %llu.
unsigned long long Count(size_t n) { return static_cast<unsigned long long>(n); }

uint32_t Checksum(const std::string& text) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (const unsigned char c : text) hash = (hash ^ c) * 16777619u;
  return hash;
}

std::string Record(const std::string& text) {
  char sum[16];
  std::snprintf(sum, sizeof sum, " %08" PRIx32 "\n", Checksum(text));
  return text + sum;
}

// Line ends and '%' inside names are written as %XX.
std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '%' || c == '\n' || c == '\r') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// False for text that Escape did not write.
bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    *out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

std::vector<std::string> ReadRecords(const std::string& content) {
  std::vector<std::string> records;
  size_t start = 0;
  for (size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = content.substr(start, end - start);
    const size_t space = line.rfind(' ');
    if (space == std::string::npos) break;
    const std::string text = line.substr(0, space);
    if (Record(text) != line + '\n') break;
    records.push_back(text);
  }
  return records;
}

enum class JournalState { kNoPlan, kPlanned, kSwapped, kRolledBack };

// The state a journal records, its plan once that is complete, and how
// many runs have failed to undo it.
JournalState ParseJournal(const std::string& content, PackageList* plan, int* failed_undos) {
  const std::vector<std::string> records = ReadRecords(content);
  if (records.empty() || records[0] != kHeader) return JournalState::kNoPlan;
  size_t i = 1;
  for (; i < records.size() && records[i].size() > 2 && records[i][1] == ' '; ++i) {
    const char kind = records[i][0];
    if (kind == 'P') break;
    std::string name;
    Path relative;
    if ((kind != 'D' && kind != 'F') || !Unescape(records[i].substr(2), &name) ||
        !PathFromUtf8(name, &relative))
      return JournalState::kNoPlan;
    plan->Add(relative, kind == 'D');
  }
  if (i == records.size() || records[i] != "P " + std::to_string(plan->size()))
    return JournalState::kNoPlan;
  JournalState state = JournalState::kPlanned;
  for (++i; i < records.size(); ++i) {
    if (records[i] == kSwapped) state = JournalState::kSwapped;
    if (records[i] == kUndoing) state = JournalState::kPlanned;
    if (records[i] == kUndoFailed || records[i] == kRecordFailed) ++*failed_undos;
    if (records[i] == kRolledBack) return JournalState::kRolledBack;
  }
  return state;
}

bool Exists(const Path& path) {
  EntryKind kind;
  return GetEntryKind(path, &kind);
}

// Backups are named by the index of their entry in the plan, so that the
// backup area needs no directories of its own.
Path BackupOf(const InstallPaths& paths, size_t index) {
  Path name;
  PathFromUtf8(std::to_string(index), &name);
  return paths.backup + name;
}

// One record after the plan, put on the disk after everything before it.
// Where the volume cannot be flushed, the journal's own flush carries the
// renames before it: the file system logs its metadata in order.
bool AppendRecord(const InstallPaths& paths, const std::string& text) {
  FlushFileSystem(paths.base);
  DurableFile journal;
  return journal.OpenExisting(paths.journal) && journal.Append(Record(text)) && journal.Flush();
}

// Undoes entries [0, count) of a plan, last first. Which steps were done is
// read from where the files are, so the undo may run any number of times,
// after a failure or after a crash at any point, even during an undo:
// - the package's file is no longer in unzip/: it was moved in, move it back
//   out;
// - a backup of the entry exists: the old file was moved aside, move it back;
// - a directory that the plan creates exists: remove it (it is empty again).
// The indexes of the entries that could not be undone go to `left`.
bool Undo(const InstallPaths& paths, const PackageList& plan, size_t count,
          std::vector<size_t>* left = nullptr) {
  bool undone = true;
  for (size_t i = count; i-- > 0;) {
    const Path relative = plan.relative(i);
    const Path installed = paths.base + relative;
    bool done = true;
    if (plan.is_directory(i)) {
      if (IsDirectory(installed) && !RemoveEmptyDirectory(installed)) done = false;
    } else {
      const Path unpacked = paths.unzip + relative;
      const Path backup = BackupOf(paths, i);
      // The old file goes back only once the new one is out of its place:
      // over it, the next try would take the old file for the new one.
      if (!Exists(unpacked) && Exists(installed) && !MoveReplacing(installed, unpacked))
        done = false;
      else if (Exists(backup) && !MoveReplacing(backup, installed))
        done = false;
    }
    if (!done && left) left->push_back(i);
    undone = undone && done;
  }
  if (!undone) Report("The previous version could not be restored completely\n");
  return undone;
}

// After the last try: says what stays as it is. A previous version that
// could not go back to its place is kept beside it rather than lost with
// the backup area.
void GiveUpUndo(const InstallPaths& paths, const PackageList& plan,
                const std::vector<size_t>& left) {
  for (const size_t i : left) {
    const Path installed = paths.base + plan.relative(i);
    const Path backup = BackupOf(paths, i);
    const Path kept = installed + PATH_TEXT(".previous");
    if (!plan.is_directory(i) && Exists(backup) && MoveToNewName(backup, kept)) {
      Report("Left after %d tries: %s; its previous version is %s\n", kUndoTries,
             PathToUtf8(installed).c_str(), PathToUtf8(kept).c_str());
    } else {
      Report("Left after %d tries: %s\n", kUndoTries, PathToUtf8(installed).c_str());
    }
  }
}

// The updater's working directory as the package names it.
bool InWorkingDirectory(const Path& relative) {
  const size_t end = relative.find(kPathSeparator);
  return SamePath(relative.substr(0, end), kWorkingDirName);
}

// Directories the package adds, and every file; false when something other
// than a directory stands where the package has one.
bool MakePlan(const InstallPaths& paths, PackageList* plan) {
  return VisitPackageTree(paths.unzip, [&](const Path& relative, bool is_directory) {
    const Path installed = paths.base + relative;
    // A zipped installation directory brings one; the updater's own files
    // are never the package's to replace.
    if (InWorkingDirectory(relative)) {
      Report("Not installed: %s (the updater's working directory)\n", PathToUtf8(relative).c_str());
      return true;
    }
    // The journal holds names as UTF-8; a name that does not come back
    // unchanged could not be found again after a crash.
    Path read_back;
    if (!PathFromUtf8(PathToUtf8(relative), &read_back) || read_back != relative) {
      Report("Cannot install %s: unusable name\n", PathToUtf8(installed).c_str());
      return false;
    }
    EntryKind kind;
    if (is_directory && GetEntryKind(installed, &kind)) {
      if (kind == EntryKind::kDirectory) return true;
      Report("Cannot install %s: not a directory\n", PathToUtf8(installed).c_str());
      return false;
    }
    plan->Add(relative, is_directory);
    return true;
  });
}

// The package's data must be on the disk before the swap can be, or a power
// loss could leave renamed files without their content. One flush of the
// volume where the system allows it, else one per file.
void FlushPackage(const InstallPaths& paths, const PackageList& plan) {
  if (FlushFileSystem(paths.base)) return;
  for (size_t i = 0; i < plan.size(); ++i) {
    if (!plan.is_directory(i)) FlushFile(paths.unzip + plan.relative(i));
  }
}

// Moves what is left in the backup area (a file that cannot be deleted:
// read-only, or still mapped by another process, on Windows) out of the
// way into update/leftover/, which later clean-ups empty; what cannot even
// be moved is handed to the system to remove at its next start.
void SetAsideBackups(const InstallPaths& paths) {
  // Listed in full first: the moves change the directory.
  std::vector<Path> names;
  DirectoryListing listing(paths.backup);
  for (DirEntry entry; listing.Next(&entry);) names.push_back(entry.name);
  if (names.empty()) return;
  const Path& leftover = paths.leftover;
  MakeOneDirectory(leftover);
  for (const Path& name : names) {
    const Path path = paths.backup + name;
    bool moved = false;
    for (int n = 0; !moved && n < 1000; ++n) {
      Path number;
      PathFromUtf8(std::to_string(n), &number);
      moved = MoveToNewName(path, leftover + number);
    }
    if (moved) {
      Report("Left for a later run to delete: %s, moved into %s\n", PathToUtf8(path).c_str(),
             PathToUtf8(leftover).c_str());
    } else if (RemoveAtRestart(path)) {
      Report("Left for the system to delete at its next start: %s\n", PathToUtf8(path).c_str());
    } else {
      Report("Cannot delete %s\n", PathToUtf8(path).c_str());
    }
  }
}

// A backup area that is empty, so that every backup found in it is one of
// this swap.
bool PrepareBackupArea(const InstallPaths& paths) {
  ClearDirectory(paths.backup);
  SetAsideBackups(paths);
  if (MakeOneDirectory(paths.backup) == MakeDirResult::kCreated) return true;
  DirectoryListing listing(paths.backup);
  DirEntry entry;
  return listing.is_open() && !listing.Next(&entry);
}

bool WritePlan(const InstallPaths& paths, const PackageList& plan) {
  // Written in blocks: the plan of a large package is megabytes of text.
  constexpr size_t kBlock = 64 * 1024;
  DurableFile journal;
  if (!journal.Create(paths.journal)) return false;
  std::string text = Record(kHeader);
  for (size_t i = 0; i < plan.size(); ++i) {
    text += Record((plan.is_directory(i) ? "D " : "F ") + Escape(PathToUtf8(plan.relative(i))));
    if (text.size() >= kBlock) {
      if (!journal.Append(text)) return false;
      text.clear();
    }
  }
  text += Record("P " + std::to_string(plan.size()));
  return journal.Append(text) && journal.Flush() && FlushDirectory(paths.update);
}

// One step of the plan. A file that the package replaces goes aside first;
// a directory never gives way to a file.
// *replaced counts the files that went aside.
bool Apply(const InstallPaths& paths, const PackageList& plan, size_t index, size_t* replaced) {
  const Path relative = plan.relative(index);
  const Path installed = paths.base + relative;
  if (plan.is_directory(index)) return MakeOneDirectory(installed) == MakeDirResult::kCreated;
  EntryKind kind;
  if (GetEntryKind(installed, &kind)) {
    if (kind == EntryKind::kDirectory) return false;
    if (!MoveToNewName(installed, BackupOf(paths, index))) return false;
    ++*replaced;
  }
  return MoveToNewName(paths.unzip + relative, installed);
}

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t CountDirectories(const PackageList& plan) {
  size_t count = 0;
  for (size_t i = 0; i < plan.size(); ++i) count += plan.is_directory(i) ? 1 : 0;
  return count;
}

}  // namespace

InstallPaths InstallPathsFor(const Path& base_dir) {
  InstallPaths paths;
  paths.base = WithTrailingSeparator(base_dir);
  paths.update = paths.base + kWorkingDirName + kPathSeparator;
  paths.package = paths.update + kPackageName;
  paths.unzip = paths.update + PATH_TEXT("unzip") + kPathSeparator;
  paths.backup = paths.update + PATH_TEXT("backup") + kPathSeparator;
  paths.leftover = paths.update + PATH_TEXT("leftover") + kPathSeparator;
  paths.journal = paths.update + PATH_TEXT("install.journal");
  paths.lock = paths.update + PATH_TEXT("updater.lock");
  paths.log = paths.update + PATH_TEXT("updater.log");
  paths.old_log = paths.update + PATH_TEXT("updater.log.1");
  paths.record = paths.update + kInstalledRecordName;
  paths.pending_record = paths.update + kPendingRecordName;
  paths.kept_package = paths.update + kKeptPackageName;
  paths.range_state = paths.update + kRangeStateName;
  return paths;
}

SwapResult SwapInPackage(const InstallPaths& paths) {
  PackageList plan;
  const SwapResult prepared = PrepareSwap(paths, &plan);
  return prepared == SwapResult::kInstalled ? CompleteSwap(paths, plan) : prepared;
}

SwapResult PrepareSwap(const InstallPaths& paths, PackageList* plan) {
  const auto start = Clock::now();
  plan->clear();
  // Its backups may be all that is left of the old version: settled first,
  // never cleared by a second swap.
  if (Exists(paths.journal)) {
    Report("Cannot install: %s records an install that is not settled yet\n",
           PathToUtf8(paths.journal).c_str());
    return SwapResult::kStuck;
  }
  if (!MakePlan(paths, plan)) return SwapResult::kRolledBack;
  if (plan->empty()) return SwapResult::kInstalled;
  if (!PrepareBackupArea(paths)) {
    Report("Cannot install: no backup area at %s\n", PathToUtf8(paths.backup).c_str());
    return SwapResult::kRolledBack;
  }
  if (!WritePlan(paths, *plan)) {
    Report("Cannot install: cannot write %s\n", PathToUtf8(paths.journal).c_str());
    RemoveFileEntry(paths.journal);
    return SwapResult::kRolledBack;
  }
  // The package stays: once the swap is complete it becomes the kept
  // package, the seed of the next delta update.
  FlushPackage(paths, *plan);
  const size_t directories = CountDirectories(*plan);
  ReportToLog(
      "Install prepared: %llu files, %llu directories to create; plan and data on the disk "
      "in %.2f s\n",
      Count(plan->size() - directories), Count(directories), SecondsSince(start));
  return SwapResult::kInstalled;
}

void AbandonSwap(const InstallPaths& paths) {
  RemoveFileEntry(paths.journal);
  RemoveEmptyDirectory(paths.backup);
}

SwapResult CompleteSwap(const InstallPaths& paths, const PackageList& plan) {
  if (plan.empty()) return SwapResult::kInstalled;
  const auto start = Clock::now();
  size_t done = 0, replaced = 0;
  while (done < plan.size() && Apply(paths, plan, done, &replaced)) ++done;
  // The swap counts as complete only once its record is on the disk.
  if (done == plan.size() && AppendRecord(paths, kSwapped)) {
    const size_t directories = CountDirectories(plan);
    ReportToLog(
        "Installed: %llu files moved in (%llu replaced), %llu directories created in %.2f s\n",
        Count(plan.size() - directories), Count(replaced), Count(directories), SecondsSince(start));
    return SwapResult::kInstalled;
  }
  // A "swapped" record may have reached the file but not the disk: it is
  // marked as not to be trusted before the undo starts. Where not even
  // that can be written, the complete swap stays, and the next run finds
  // it complete or rolls it back, whichever record it reads.
  if (done == plan.size() && !AppendRecord(paths, kUndoing)) {
    Report("Cannot record the finished install in %s; the next run settles it\n",
           PathToUtf8(paths.journal).c_str());
    return SwapResult::kStuck;
  }

  if (done < plan.size()) {
    const Path failed = paths.base + plan.relative(done);
    Report("Cannot install %s; restoring the previous version\n", PathToUtf8(failed).c_str());
  } else {
    Report("Cannot record the finished install in %s; restoring the previous version\n",
           PathToUtf8(paths.journal).c_str());
  }
  if (!Undo(paths, plan, std::min(done + 1, plan.size())) || !AppendRecord(paths, kRolledBack))
    return SwapResult::kStuck;
  return SwapResult::kRolledBack;
}

bool KeepPackageRecord(const InstallPaths& paths) {
  if (!Exists(paths.pending_record)) return true;
  // The installed package is kept under the record's name; where it cannot
  // be, no older one may pose as it. Losing it costs only the next
  // update's delta.
  if (Exists(paths.package) && !MoveReplacing(paths.package, paths.kept_package))
    RemoveFileEntry(paths.kept_package);
  // The record is the rollback floor and the nothing-new check: until it
  // names the installed package, the journal says the install is not done.
  if (!MoveReplacing(paths.pending_record, paths.record)) {
    Report("Cannot record the installed package in %s; the next run records it\n",
           PathToUtf8(paths.record).c_str());
    return false;
  }
  FlushDirectory(paths.update);
  return true;
}

void ClearWorkingDirectory(const InstallPaths& paths, bool unrecorded) {
  const size_t name_start = paths.update.size();
  std::vector<Path> kept = {
      paths.journal.substr(name_start),    paths.lock.substr(name_start),
      paths.log.substr(name_start),        paths.old_log.substr(name_start),
      paths.record.substr(name_start),     paths.kept_package.substr(name_start),
      paths.range_state.substr(name_start)};
  if (unrecorded) kept.push_back(paths.pending_record.substr(name_start));
  const auto start = Clock::now();
  const size_t removed = ClearDirectory(paths.update, kept);
  ReportToLog("Cleared %s: %llu entries removed in %.2f s\n", PathToUtf8(paths.update).c_str(),
              Count(removed), SecondsSince(start));
  if (IsDirectory(paths.backup)) {
    SetAsideBackups(paths);
    RemoveEmptyDirectory(paths.backup);
  }
  if (!unrecorded) RemoveFileEntry(paths.journal);
}

bool InterruptedInstallNeedsUndo(const InstallPaths& paths) {
  std::string content;
  PackageList plan;
  int failed_undos = 0;
  return ReadWholeFile(paths.journal, &content) &&
         ParseJournal(content, &plan, &failed_undos) == JournalState::kPlanned;
}

bool RecoverInterruptedInstall(const InstallPaths& paths) {
  std::string content;
  bool missing = false;
  if (!ReadWholeFile(paths.journal, &content, &missing)) {
    if (missing) return true;
    // Not "no journal": an install may be half done. A later run, once
    // the journal can be read, settles it.
    Report("Cannot read %s; this updater ends\n", PathToUtf8(paths.journal).c_str());
    return false;
  }
  PackageList plan;
  int failed_undos = 0;
  switch (ParseJournal(content, &plan, &failed_undos)) {
    case JournalState::kPlanned: {
      Report("Rolling back an interrupted install\n");
      std::vector<size_t> left;
      if (!Undo(paths, plan, plan.size(), &left)) {
        // Something of the user's may block a step for good (files put
        // into a directory the install made): after a few runs the rest
        // is undone, and that one is left rather than every later update.
        // A journal that cannot count the tries gives up at once.
        if (failed_undos + 1 < kUndoTries && AppendRecord(paths, kUndoFailed)) return false;
        GiveUpUndo(paths, plan, left);
      }
      // Without its record the undo would run again over the old version:
      // a journal that takes no record goes instead.
      if (!AppendRecord(paths, kRolledBack) && !RemoveFileEntry(paths.journal)) return false;
      break;
    }
    case JournalState::kSwapped:
      Report("Finishing an interrupted install\n");
      if (!KeepPackageRecord(paths)) {
        if (failed_undos + 1 < kUndoTries && AppendRecord(paths, kRecordFailed)) {
          ReportOutcome(RunOutcome::kInstallFailed,
                        "the installed package could not be recorded; the next run tries again");
          return false;
        }
        // The new version is in place; without its record the next update
        // is checked against the one before, and at worst installed again.
        Report("The installed package could not be recorded after %d tries; it stays unrecorded\n",
               kUndoTries);
      }
      break;
    case JournalState::kNoPlan:  // cut off before the first move
    case JournalState::kRolledBack:
      break;
  }
  ClearWorkingDirectory(paths);
  return true;
}

void EmptyLeftovers(const InstallPaths& paths) {
  if (!IsDirectory(paths.leftover)) return;
  ClearDirectory(paths.leftover);
  {
    DirectoryListing listing(paths.leftover);
    for (DirEntry entry; listing.Next(&entry);)
      Report("Cannot delete %s yet; a later run tries again\n",
             PathToUtf8(paths.leftover + entry.name).c_str());
  }
  RemoveEmptyDirectory(paths.leftover);
}
