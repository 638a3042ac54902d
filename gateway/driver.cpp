// The gateway's main sequence: one request, from its variables and body to
// the Engine Server and back to its response.
#include "gateway/driver.h"

#include "decoder/decoder.h"
#include "gateway/cgi_table.h"
#include "gateway/engine_link.h"
#include "gateway/engine_messages.h"
#include "gateway/error_log.h"
#include "gateway/forward.h"
#include "gateway/owner.h"
#include "gateway/report.h"
#include "gateway/settings.h"
#include "gateway/spool.h"
#include "gateway/texts.h"
#include "platform/platform.h"

namespace kavro {
namespace {

using FieldTextOwner = Owner<PairText, releasePairText>;
using PayloadOwner = Owner<RequestPayload, releasePayload>;
using ReplyOwner = Owner<Reply, releaseReply>;

// What one run owns, made by the driver and handed down: nothing of it
// outlives the run or is seen by another. The spool goes first: in FileMode 1
// its files go on every way out of the run, an early end included, so that a
// request the engine never served leaves nothing behind.
struct Run {
  explicit Run(platform::Request& r) : request(r) { qStartRequest(r); }
  // The decoder lets go of the request on every way out.
  ~Run() { qEndRequest(); }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  platform::Request& request;
  Settings settings{};
  Spool spool{settings, request};
  EngineLink link;
};

// Reports made before the process heap and the response are known good are
// plain text, as if no settings had been read: no Outage page yet.
const Settings kNoSettings{};

void report(Run& run, const char* text) { reportError(run.request, run.settings, "%s", text); }

// Every run of the driver ends with exit status 0, a reported one included.
int endRun(Run& run, const char* reason) {
  report(run, reason);
  return 0;
}

// The decoder's errors reach the error log too, with the key of a run that
// has not used its settings yet.
void logDecoderError(void* context, const char* message) {
  logError(static_cast<Run*>(context)->request, settingsKeyName(kNoSettings), message);
}

// The first Engine Server of the configured list that accepts, tried in the
// failover order.
bool connectToEngine(Run& run) {
  const Settings& s = run.settings;
  ServerList servers;
  buildServerList(s.serverUrl, s.serverPort, &servers);
  std::size_t start = firstServer(s.multipleServers, servers.count);
  engineSetTimeout(run.link, engineTimeoutSeconds(s));
  return engineConnectAny(run.link, servers, start, s.serverUrl, s.serverPort, engineConnectAttempt, nullptr);
}

// The body goes out with one unbuffered, untranslated write. Neither failure
// ends the run; after a failed write both are reported.
void writeBody(Run& run, const ReplyBody& body) {
  std::size_t written = 0;
  if (!run.request.writeReply(body.data, body.size, &written))
    reportError(run.request, run.settings, text::kWriteFailed, run.request.lastErrorCode());
  if (written != body.size) report(run, text::kWriteIncomplete);
}

// Receives the reply to the request and writes its body when its status is
// '0' (any other status: nothing is written, nothing reported). False when
// the run must end with `*failure`.
bool relayReply(Run& run, const char** failure) {
  std::int32_t announced = engineRecvLength(run.link);
  if (announced <= 0) {
    // Reported with whatever the link last said, possibly nothing or the text
    // of a failed connection attempt; the Close message still follows.
    report(run, engineLastError(run.link));
    return true;
  }
  ReplyOwner reply;
  if (!engineRecvReply(run.link, announced, reply.get(), failure)) return false;
  if (reply->body.status == wire::kStatusOk) writeBody(run, reply->body);
  return true;
}

// The payload: the 26 rows, the re-encoded fields in the first and
// RegistryInfo in the last, then the variables AdditionalValues names.
bool buildRunPayload(Run& run, CgiTable* table, PairText* fields, RequestPayload* payload) {
  RegistryInfo info;
  buildRegistryInfo(run.settings, &info);
  setCgiRow(table, wire::kRowQueryString, fields->data, fields->length);
  setCgiRow(table, wire::kRowRegistrySettings, info.c_str(), info.size());
  return buildPayload(run.request, *table, run.settings.additionalValues, payload);
}

// The conversation: connect, log in, send the request, relay the reply,
// close. A Close that cannot be sent ends the run there; the link's socket
// closes with the run either way.
int converse(Run& run, PayloadOwner& payload) {
  const char* failure = nullptr;
  if (!connectToEngine(run)) return endRun(run, engineLastError(run.link));
  if (!engineLogin(run.link, run.settings, &failure)) return endRun(run, failure);
  if (!engineSendRequest(run.link, payload->data, payload->size, &failure)) return endRun(run, failure);
  payload.reset();
  if (!relayReply(run, &failure)) return endRun(run, failure);
  if (!engineClose(run.link, &failure)) return endRun(run, failure);
  engineDisconnect(run.link);
  return 0;
}

}  // namespace

int runGateway(platform::Request& request) {
  Run run(request);

  // The settings of the key that SCRIPT_NAME selects come first, so that
  // uploads go to their files as the body is read. Then the form data is
  // decoded. A malformed request ends there, inside the decoder, with its
  // error page, its line in the error log and exit status 1.
  readSettings(request.variable(wire::kCgiRowNames[wire::kRowScriptName]), &run.settings);
  qSetErrorHook(logDecoderError, &run);
  qSetUploadSink(&run.spool);
  qDecode();
  run.spool.decoded();

  // The process heap and the response; reports this early are always plain
  // text, as no Outage page is known yet.
  if (!platform::heapAvailable()) {
    reportError(request, kNoSettings, "%s", text::kNoProcessHeap);
    return 0;
  }
  if (!request.responseOpen()) {
    reportError(request, kNoSettings, text::kNoStdHandle, request.lastErrorCode());
    return 0;
  }

  // The CGI variables. The request's own QUERY_STRING is never sent: row 0
  // carries the re-encoded form fields instead.
  CgiTable table;
  captureCgiTable(request, &table);
  setCgiRow(&table, wire::kRowQueryString, nullptr, 0);

  // Re-encode the form fields, spooling, inlining or skipping uploads, and
  // release the entry list: the decoder is done.
  FieldTextOwner fields;
  const char* failure = nullptr;
  if (!forwardFields(qFirstEntry(), run.spool, fields.get(), &failure)) {
    report(run, failure);
    return endRun(run, text::kNoMemoryForFields);
  }
  qEndRequest();

  PayloadOwner payload;
  if (!buildRunPayload(run, &table, fields.get(), payload.get())) return endRun(run, text::kNoMemory);
  fields.reset();  // the fields live on only inside the payload
  return converse(run, payload);
}

}  // namespace kavro
