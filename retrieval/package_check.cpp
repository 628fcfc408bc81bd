#include "package_check.h"

#include <string>

#include "basedir.h"
#include "download.h"
#include "files.h"
#include "package_record.h"
#include "report.h"
#include "signature.h"

namespace {

// True when the signed timestamp in `comment` may follow the installed
// package's; otherwise *reason says why.
bool IsNotOlder(const std::string& comment, const PackageRecord& installed, bool has_installed,
                PackageRecord* pending, std::string* reason) {
  pending->has_timestamp = SignedTimestamp(comment, &pending->timestamp);
  if (!has_installed || !installed.has_timestamp) return true;
  if (!pending->has_timestamp) {
    *reason = "it has no signed timestamp, and the installed package has one";
    return false;
  }
  if (pending->timestamp < installed.timestamp) {
    *reason = "it is older than the installed package (signed at " +
              std::to_string(pending->timestamp) + ", the installed one at " +
              std::to_string(installed.timestamp) + ")";
    return false;
  }
  return true;
}

}  // namespace

ConditionalGet InstalledPackageConditions() {
  ConditionalGet conditional;
  PackageRecord installed;
  if (ReadPackageRecord(UpdateDir() + kInstalledRecordName, &installed)) {
    conditional.if_none_match = installed.etag;
    conditional.if_modified_since = installed.last_modified;
  }
  return conditional;
}

PackageVerdict CheckPackage(const char* keys, DownloadOutcome outcome, PackageHasher* hasher,
                            const ConditionalGet& answer) {
  const Path update = UpdateDir();
  const Path package = update + kPackageName;
  const Path signature = package + PATH_TEXT(".minisig");
  const Path pending = update + kPendingRecordName;
  // Only a record written in this run, for this package, is ever installed.
  RemoveFileEntry(pending);

  const bool signed_only = HasPublicKeys(keys);
  if (!signed_only) Report("Package signatures are not checked: no public key is built in\n");

  const bool downloaded = outcome == DownloadOutcome::kStored;
  EntryKind kind;
  if (!GetEntryKind(package, &kind)) {
    if (outcome != DownloadOutcome::kNotModified) return PackageVerdict::kInstall;
    Report("No new package\n");
    ReportOutcome(RunOutcome::kNothingNew);
    return PackageVerdict::kNothingNew;
  }
  PackageHasher on_disk;
  if (!downloaded && !HashFile(package, &on_disk)) {
    Report("Cannot read %s\n", PathToUtf8(package).c_str());
    ReportOutcome(RunOutcome::kPackageRefused, "it cannot be read");
    return PackageVerdict::kRefused;
  }
  const PackageDigests digests = (downloaded ? hasher : &on_disk)->Finish();

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
      installed.etag = answer.etag;
      installed.last_modified = answer.last_modified;
      WritePackageRecord(update + kInstalledRecordName, installed);
    }
    Report("No new package\n");
    ReportOutcome(RunOutcome::kNothingNew);
    return PackageVerdict::kNothingNew;
  }
  if (downloaded) {
    record.etag = answer.etag;
    record.last_modified = answer.last_modified;
  }

  if (signed_only) {
    if (downloaded) DownloadSignature();
    std::string comment, reason;
    if (!VerifyPackageSignature(keys, signature, digests.blake2b, &comment, &reason) ||
        !IsNotOlder(comment, installed, has_installed, &record, &reason)) {
      RemoveFileEntry(package);
      RemoveFileEntry(signature);
      Report("Update package refused: %s; nothing is installed\n", reason.c_str());
      ReportOutcome(RunOutcome::kPackageRefused, reason);
      return PackageVerdict::kRefused;
    }
    Report("Package signature verified (%s)\n", comment.c_str());
  }
  if (!WritePackageRecord(pending, record)) {
    Report("Cannot write %s; nothing is installed\n", PathToUtf8(pending).c_str());
    ReportOutcome(RunOutcome::kPackageRefused, "its record cannot be written");
    return PackageVerdict::kRefused;
  }
  return PackageVerdict::kInstall;
}
