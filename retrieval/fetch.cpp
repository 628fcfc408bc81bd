#include "fetch.h"

#include "basedir.h"
#include "delta_fetch.h"
#include "download.h"
#include "durable.h"
#include "extract.h"
#include "file_output.h"
#include "files.h"
#include "package_ca.h"
#include "package_check.h"
#include "package_record.h"
#include "report.h"
#include "signature.h"
#include "transport.h"
#include "updater_config.h"

namespace {

// Beside a package that is complete but whose signature could not be
// fetched: which of the server's packages it is (the validator and size),
// so that a later run fetches only the signature while the server still
// has that package.
const Path kWaitingSuffix = PATH_TEXT(".id");

const char* const kSignatureSuffix = ".minisig";

// An answer's head is all a probe needs.
class NoBody : public AnswerBody {
 public:
  bool Begin(Answer*) override { return false; }
  bool Take(const char*, size_t) override { return false; }
};

// A package that waited for its signature, while the server still has it
// (one conditional request, answered 304; anything else, a failure
// included, means the package goes and is fetched afresh): hashed again
// from its own bytes, with the validator it came with.
bool TakeWaitingPackage(Transport* transport, const Path& package, ConditionalGet* answer,
                        DownloadResult* fetched) {
  const Path id = package + kWaitingSuffix;
  std::string text;
  PartialSource waiting;
  const bool identified = ReadWholeFile(id, &text) && ParseIdentification(text, &waiting);
  RemoveFileEntry(id);
  if (!identified) return false;
  ConditionalGet same;
  if (waiting.kind == PartialSource::Validator::kETag)
    same.if_none_match = waiting.validator;
  else
    same.if_modified_since = waiting.validator;
  NoBody body;
  Request request;
  request.conditions = &same;
  request.range = "0-0";
  HashedPackage hashed;
  if (transport->Send(request, &body).kind != AnswerKind::kNotModified ||
      !HashPackageFile(package, &hashed) || hashed.digests.size != waiting.total_size) {
    RemoveFileEntry(package);
    return false;
  }
  Report("The package that waited for its signature is still the server's\n");
  answer->etag = same.if_none_match;
  answer->last_modified = same.if_modified_since;
  fetched->outcome = DownloadOutcome::kStored;
  fetched->package = hashed;
  return true;
}

// How a package is fetched: by delta where a kept package allows it (its
// local headers predicted where they can be), by delta with every header
// fetched, or whole.
enum class Way { kDelta, kDeltaFetchingHeaders, kWhole };

DownloadResult FetchPackage(Transport* transport, bool signed_build, ConditionalGet* conditional,
                            Way way) {
  const bool whole = way == Way::kWhole;
  DownloadResult fetched;
  // Where the extraction reads it, whatever the current directory; the
  // program never creates "update".
  const Path target = UpdateDir() + kPackageName;
  const Path kept = UpdateDir() + kKeptPackageName;
  if (!whole && TakeWaitingPackage(transport, target, conditional, &fetched)) return fetched;
  // A partial download goes on where it stopped; only a fresh start can
  // take the delta's way, and a delta cut off is continued only by it.
  EntryKind kind;
  if (whole || !GetEntryKind(kept, &kind) || kind != EntryKind::kFile ||
      HasPartialDownload(target)) {
    DiscardDeltaSpool(target);
  } else {
    // The kept package stands for the installed one where the record names
    // its size; its bytes are proved where it matters, by the signature or
    // the extraction of what is rebuilt from it.
    DeltaTrust trust;
    trust.signed_build = signed_build;
    trust.predict_headers = signed_build && way == Way::kDelta;
    PackageRecord installed;
    uint64_t kept_size = 0;
    trust.kept_is_installed = ReadPackageRecord(UpdateDir() + kInstalledRecordName, &installed) &&
                              OpenFileForReading(kept, &kept_size) && kept_size == installed.size;
    switch (DownloadDelta(transport, target, kept, trust, conditional, &fetched.package,
                          &fetched.predicted)) {
      case DeltaResult::kStored:
        fetched.outcome = DownloadOutcome::kStored;
        fetched.rebuilt = true;
        return fetched;
      case DeltaResult::kStoredWhole:
        fetched.outcome = DownloadOutcome::kStored;
        return fetched;
      case DeltaResult::kNotModified:
        fetched.outcome = DownloadOutcome::kNotModified;
        return fetched;
      case DeltaResult::kCut:
        fetched.package = HashedPackage();
        fetched.failure = "the delta update was cut off";
        return fetched;
      case DeltaResult::kWholeNeeded:
        fetched.package = HashedPackage();
        break;
    }
  }
  const WholeDownload download =
      DownloadWhole(transport, "", target, &fetched.package, conditional);
  if (download.code != 0) {
    fetched.package = HashedPackage();
    fetched.failure = download.failure;
  } else if (download.not_modified) {
    fetched.outcome = DownloadOutcome::kNotModified;
  } else if (fetched.package.present()) {
    DiscardDeltaSpool(target);
    fetched.outcome = DownloadOutcome::kStored;
  } else {
    // A success without a body: an empty 200, a 204, an empty 206.
    Report("The server's answer held no package\n");
    fetched.failure = "the server's answer held no package";
  }
  return fetched;
}

// The signature of a package stored in this run. Without it the package
// waits, identified, for a later run; an earlier signature file belongs to
// an earlier package.
bool FetchSignature(Transport* transport, const DownloadResult& fetched,
                    const ConditionalGet& answer, std::string* failure) {
  const Path package = UpdateDir() + kPackageName;
  const Path signature = package + PATH_TEXT(".minisig");
  RemoveFileEntry(signature);
  const WholeDownload download =
      DownloadWhole(transport, std::string(config::kPackageUrl) + kSignatureSuffix, signature);
  if (download.code == 0) return true;
  *failure = "the package's signature could not be fetched (" + download.failure + ")";
  PartialSource waiting;
  waiting.kind = answer.etag.empty() ? PartialSource::Validator::kLastModified
                                     : PartialSource::Validator::kETag;
  waiting.validator = answer.etag.empty() ? answer.last_modified : answer.etag;
  waiting.total_size = fetched.package.digests.size;
  if (!waiting.validator.empty() && waiting.resumable())
    WriteFileAtomically(package + kWaitingSuffix, IdentificationText(waiting));
  return false;
}

// The download phase: the package and its signature, checked.
CheckedPackage FetchAndCheck(Transport* transport, const char* keys, int64_t min_time,
                             ConditionalGet* conditional, Way way, DownloadResult* fetched) {
  *fetched = FetchPackage(transport, HasPublicKeys(keys), conditional, way);
  if (fetched->outcome == DownloadOutcome::kStored && HasPublicKeys(keys) &&
      !FetchSignature(transport, *fetched, *conditional, &fetched->failure))
    return {PackageVerdict::kNoPackage, HashedPackage()};
  return CheckPackage(keys, min_time, *fetched, *conditional);
}

}  // namespace

bool ObtainPackage(const char* keys, int64_t min_time) {
  // Only a package that differs from the installed one is sent.
  ConditionalGet conditional = InstalledPackageConditions();
  TransferLimits limits;
  limits.deadline = std::chrono::steady_clock::now() + kDownloadTimeLimit;
  Transport transport(config::kPackageUrl, config::kCredentials, config::kPackageCaPem, limits);

  DownloadResult fetched;
  CheckedPackage checked =
      FetchAndCheck(&transport, keys, min_time, &conditional, Way::kDelta, &fetched);
  // Predicted local headers that the signature refused: the delta again,
  // fetching them, before the whole download.
  if (fetched.predicted && checked.verdict == PackageVerdict::kNotProved) {
    Report(
        "The package rebuilt with predicted local headers is not the signed one; the delta "
        "fetches them\n");
    checked = FetchAndCheck(&transport, keys, min_time, &conditional, Way::kDeltaFetchingHeaders,
                            &fetched);
  }
  bool extracted = checked.verdict == PackageVerdict::kInstall && ExtractPackage(checked.package);
  // A rebuilt package that its signature refused, or, without a key, that
  // does not unpack: the whole package, in the same run, within the same
  // deadline. One the signature proved is not fetched again for a failure
  // here (a full disk).
  if (fetched.rebuilt &&
      (checked.verdict == PackageVerdict::kNotProved ||
       (!HasPublicKeys(keys) && checked.verdict == PackageVerdict::kInstall && !extracted))) {
    if (checked.verdict == PackageVerdict::kInstall)
      Report("The package rebuilt from the kept one does not unpack; it is downloaded whole\n");
    checked = FetchAndCheck(&transport, keys, min_time, &conditional, Way::kWhole, &fetched);
    extracted = checked.verdict == PackageVerdict::kInstall && ExtractPackage(checked.package);
  }
  Report("Transfers: %u %s over %u %s, %llu bytes received\n", transport.requests(),
         transport.requests() == 1 ? "request" : "requests", transport.connections(),
         transport.connections() == 1 ? "connection" : "connections",
         static_cast<unsigned long long>(transport.received()));
  if (checked.verdict == PackageVerdict::kNoPackage) {
    ReportOutcome(RunOutcome::kDownloadFailed, fetched.failure);
    return false;
  }
  if (checked.verdict != PackageVerdict::kInstall) return false;
  if (!extracted) {
    ReportOutcome(RunOutcome::kPackageRefused, "it cannot be unpacked completely");
    return false;
  }
  return true;
}
