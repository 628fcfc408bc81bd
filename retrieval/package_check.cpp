#include "package_check.h"

#include <string>

#include "basedir.h"
#include "files.h"
#include "package_record.h"
#include "report.h"
#include "signature.h"

namespace {

// Removes a refused file; true when it is gone. A scanner or another
// process that holds it open on Windows keeps it there.
bool RemoveRefused(const Path& path) {
  EntryKind kind;
  if (RemoveFileEntry(path) || !GetEntryKind(path, &kind)) return true;
  Report("Cannot remove %s\n", PathToUtf8(path).c_str());
  return false;
}

CheckedPackage Refuse(const Path& package, const Path& signature, std::string reason) {
  Report("Update package refused: %s; nothing is installed\n", reason.c_str());
  // Both go, or the run says which stayed: what stays is checked again,
  // from its own bytes, by every later run.
  const bool package_gone = RemoveRefused(package);
  const bool signature_gone = RemoveRefused(signature);
  if (!package_gone || !signature_gone) reason += "; it could not be removed";
  ReportOutcome(RunOutcome::kPackageRefused, reason);
  return {PackageVerdict::kRefused, HashedPackage()};
}

// The installed package under the validators the server gives it now, so
// that the next request asks with them.
void RenameInstalled(const Path& update, PackageRecord installed, const ConditionalGet& answer) {
  if (installed.etag == answer.etag && installed.last_modified == answer.last_modified) return;
  installed.etag = answer.etag;
  installed.last_modified = answer.last_modified;
  WritePackageRecord(update + kInstalledRecordName, installed);
}

CheckedPackage NothingNew() {
  Report("No new package\n");
  ReportOutcome(RunOutcome::kNothingNew);
  return {PackageVerdict::kNothingNew, HashedPackage()};
}

}  // namespace

bool MayFollow(const std::string& comment, const PackageRecord& installed, bool has_installed,
               int64_t min_time, PackageRecord* pending, std::string* reason) {
  pending->has_timestamp = SignedTimestamp(comment, &pending->timestamp);
  const bool installed_dated = has_installed && installed.has_timestamp;
  if (!pending->has_timestamp && (installed_dated || min_time > 0)) {
    *reason = installed_dated ? "it has no signed timestamp, and the installed package has one"
                              : "it has no signed timestamp, and this updater accepts only "
                                "packages signed since " +
                                    std::to_string(min_time);
    return false;
  }
  if (installed_dated && pending->timestamp < installed.timestamp) {
    *reason = "it is older than the installed package (signed at " +
              std::to_string(pending->timestamp) + ", the installed one at " +
              std::to_string(installed.timestamp) + ")";
    return false;
  }
  if (pending->has_timestamp && pending->timestamp < min_time) {
    *reason = "it is older than this updater accepts (signed at " +
              std::to_string(pending->timestamp) + ", the earliest accepted " +
              std::to_string(min_time) + ")";
    return false;
  }
  return true;
}

ConditionalGet InstalledPackageConditions() {
  ConditionalGet conditional;
  PackageRecord installed;
  if (ReadPackageRecord(UpdateDir() + kInstalledRecordName, &installed)) {
    conditional.if_none_match = installed.etag;
    conditional.if_modified_since = installed.last_modified;
  }
  return conditional;
}

CheckedPackage CheckPackage(const char* keys, int64_t min_time, const DownloadResult& fetched,
                            const ConditionalGet& answer) {
  const Path update = UpdateDir();
  const Path package = update + kPackageName;
  const Path signature = package + PATH_TEXT(".minisig");
  const Path pending = update + kPendingRecordName;
  // Only a record written in this run, for this package, is ever installed.
  RemoveFileEntry(pending);

  const bool signed_only = HasPublicKeys(keys);
  if (!signed_only) Report("Package signatures are not checked: no public key is built in\n");

  const bool downloaded = fetched.outcome == DownloadOutcome::kStored;
  HashedPackage hashed = fetched.package;
  if (!downloaded) {
    // Whatever stands there was not received in this run: only its own
    // bytes, read now, can speak for it.
    hashed = HashedPackage();
    EntryKind kind;
    if (!GetEntryKind(package, &kind)) {
      if (fetched.outcome == DownloadOutcome::kNotModified) {
        // Known by its end to be the installed package, under new
        // validators (a file written again): the next request asks with
        // what the server says now.
        PackageRecord installed;
        if ((!answer.etag.empty() || !answer.last_modified.empty()) &&
            ReadPackageRecord(update + kInstalledRecordName, &installed))
          RenameInstalled(update, installed, answer);
        return NothingNew();
      }
      return {PackageVerdict::kNoPackage, HashedPackage()};
    }
    if (!HashPackageFile(package, &hashed)) {
      Report("Cannot read %s\n", PathToUtf8(package).c_str());
      ReportOutcome(RunOutcome::kPackageRefused, "it cannot be read");
      return {PackageVerdict::kRefused, HashedPackage()};
    }
  }
  const PackageDigests& digests = hashed.digests;

  PackageRecord record;
  record.blake2b = HexOf(digests.blake2b, sizeof digests.blake2b);
  record.size = digests.size;
  PackageRecord installed;
  const bool has_installed = ReadPackageRecord(update + kInstalledRecordName, &installed);
  if (has_installed && installed.blake2b == record.blake2b && installed.size == record.size) {
    // The server ignored the conditions and sent the installed package
    // again, maybe as a file with a new date: the next request asks with
    // what the server says now.
    if (downloaded) {
      RemoveFileEntry(package);
      RenameInstalled(update, installed, answer);
    }
    return NothingNew();
  }
  if (downloaded) {
    record.etag = answer.etag;
    record.last_modified = answer.last_modified;
  }

  if (signed_only) {
    std::string comment, reason;
    if (!VerifyPackageSignature(keys, signature, digests.blake2b, &comment, &reason)) {
      if (!fetched.rebuilt) return Refuse(package, signature, reason);
      Report(
          "The package rebuilt from the kept one is not the signed one (%s); it is "
          "discarded\n",
          reason.c_str());
      RemoveFileEntry(package);
      return {PackageVerdict::kNotProved, HashedPackage()};
    }
    if (!MayFollow(comment, installed, has_installed, min_time, &record, &reason))
      return Refuse(package, signature, reason);
    Report("Package signature verified (%s)\n", comment.c_str());
  }
  if (!WritePackageRecord(pending, record)) {
    Report("Cannot write %s; nothing is installed\n", PathToUtf8(pending).c_str());
    ReportOutcome(RunOutcome::kPackageRefused, "its record cannot be written");
    return {PackageVerdict::kRefused, HashedPackage()};
  }
  return {PackageVerdict::kInstall, hashed};
}
