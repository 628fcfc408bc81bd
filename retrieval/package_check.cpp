#include "package_check.h"

#include <string>

#include "basedir.h"
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

bool CheckPackage(const char* keys, PackageHasher* downloaded) {
  const Path update = GetBaseDir() + PATH_TEXT("update") + kPathSeparator;
  const Path package = update + PATH_TEXT("update.zip");
  const Path signature = package + PATH_TEXT(".minisig");
  const Path pending = update + kPendingRecordName;
  // Only a record written in this run, for this package, is ever installed.
  RemoveFileEntry(pending);

  const bool signed_only = HasPublicKeys(keys);
  if (!signed_only) Report("Package signatures are not checked: no public key is built in\n");

  EntryKind kind;
  if (!GetEntryKind(package, &kind)) return true;
  PackageHasher on_disk;
  if (!downloaded && !HashFile(package, &on_disk)) {
    Report("Cannot read %s\n", PathToUtf8(package).c_str());
    return false;
  }
  const PackageDigests digests = (downloaded ? downloaded : &on_disk)->Finish();

  PackageRecord record;
  record.sha256 = HexOf(digests.sha256, sizeof digests.sha256);
  record.size = digests.size;
  std::string reason;
  if (signed_only) {
    std::string comment;
    PackageRecord installed;
    const bool has_installed = ReadPackageRecord(update + kInstalledRecordName, &installed);
    if (!VerifyPackageSignature(keys, signature, digests.blake2b, &comment, &reason) ||
        !IsNotOlder(comment, installed, has_installed, &record, &reason)) {
      RemoveFileEntry(package);
      RemoveFileEntry(signature);
      Report("Update package refused: %s; nothing is installed\n", reason.c_str());
      return false;
    }
    Report("Package signature verified (%s)\n", comment.c_str());
  }
  if (!WritePackageRecord(pending, record)) {
    Report("Cannot write %s; nothing is installed\n", PathToUtf8(pending).c_str());
    return false;
  }
  return true;
}
