// The gateway's main sequence: one request, from the CGI environment to the
// Engine Server and back to standard output.
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
#include "gateway/texts.h"
#include "platform/platform.h"

namespace kavro {
namespace {

using FieldTextOwner = Owner<PairText, releasePairText>;
using PayloadOwner = Owner<RequestPayload, releasePayload>;
using ReplyOwner = Owner<Reply, releaseReply>;

// The files spooled in this run. In FileMode 1 they go on every way out of
// the run, an early end included, so that a request the engine never served
// leaves nothing behind; and from the end of spooling on, a termination
// signal removes them too. FileMode 2 keeps them, as engines rely on.
void endSpool(SpoolList* spool) {
  if (settings().fileMode[0] == '1') deleteSpooledFiles(*spool);
  platform::disarmSpoolRemoval();
  releaseSpoolList(spool);
}
using SpoolOwner = Owner<SpoolList, endSpool>;

// Every run of the driver ends with exit status 0, a reported one included.
int endRun(const char* reason) {
  reportError("%s", reason);
  return 0;
}

// The first Engine Server of the configured list that accepts, tried in the
// failover order.
int connectToEngine(const Settings& s) {
  ServerList servers;
  buildServerList(s.serverUrl, s.serverPort, &servers);
  std::size_t start = firstServer(s.multipleServers, servers.count);
  return engineConnectAny(servers, start, s.serverUrl, s.serverPort, engineConnect);
}

// The body goes out with one unbuffered, untranslated write. Neither failure
// ends the run; after a failed write both are reported.
void writeBody(const ReplyBody& body) {
  std::size_t written = 0;
  if (!platform::writeStdOutput(body.data, body.size, &written))
    reportError(text::kWriteFailed, platform::lastErrorCode());
  if (written != body.size) reportError("%s", text::kWriteIncomplete);
}

// Receives the reply to the request and writes its body when its status is
// '0' (any other status: nothing is written, nothing reported). Returns 1
// when the run must end with `*failure`.
int relayReply(const char** failure) {
  std::int32_t announced = engineRecvLength();
  if (announced <= 0) {
    // Reported with whatever the link last said, possibly nothing or the text
    // of a failed connection attempt; the Close message still follows.
    reportError("%s", engineLastError());
    return 0;
  }
  ReplyOwner reply;
  if (engineRecvReply(announced, reply.get(), failure) != 0) return 1;
  if (reply->body.status == wire::kStatusOk) writeBody(reply->body);
  return 0;
}

}  // namespace

int runGateway() {
  platform::processInit();

  // Decode the form data before anything else. A malformed request ends here,
  // inside the decoder, with its error page, its line in the error log and
  // exit status 1.
  qSetErrorHook(logError);
  qDecode();

  // The process heap and the standard output handle; reports this early are
  // always plain text, as no Outage page is known yet.
  if (!platform::heapAvailable()) return endRun(text::kNoProcessHeap);
  if (!platform::stdOutputValid()) {
    reportError(text::kNoStdHandle, platform::lastErrorCode());
    return 0;
  }

  // The CGI variables, then the settings of the key that SCRIPT_NAME selects.
  // The environment's QUERY_STRING is never sent: row 0 carries the
  // re-encoded form fields instead.
  CgiTable table;
  captureCgiTable(&table);
  readSettings(table.rows[wire::kRowScriptName].value);
  setCgiRow(&table, wire::kRowQueryString, nullptr, 0);

  // Re-encode the form fields, spooling, inlining or skipping uploads, and
  // release the entry list: the decoder is done.
  SpoolOwner spool;
  FieldTextOwner fields;
  if (!forwardFields(qFirstEntry(), settings(), spool.get(), fields.get()))
    return endRun(text::kNoMemoryForFields);
  qReleaseEntries();
  // Should arming fail, the files still go on every way out but a signal.
  if (settings().fileMode[0] == '1' && spool->count > 0)
    platform::armSpoolRemoval(spool->paths, spool->count);

  // The payload: the 26 rows, RegistryInfo in the last, then the variables
  // AdditionalValues names. The fields live on only inside it.
  setCgiRow(&table, wire::kRowQueryString, fields->data, fields->length);
  setCgiRow(&table, wire::kRowRegistrySettings, registryInfo(), registryInfoLength());
  PayloadOwner payload;
  if (!buildPayload(table, settings().additionalValues, payload.get())) return endRun(text::kNoMemory);
  fields.release();

  // The conversation: connect, log in, send the request, relay the reply,
  // close. A Close that cannot be sent ends the run with the link open.
  engineSetTimeout(engineTimeoutSeconds(settings()));
  const char* failure = nullptr;
  if (connectToEngine(settings()) != 0) return endRun(engineLastError());
  if (engineLogin(settings(), &failure) != 0) return endRun(failure);
  if (engineSendRequest(payload->data, payload->size, &failure) != 0) return endRun(failure);
  payload.release();
  if (relayReply(&failure) != 0) return endRun(failure);
  if (engineClose(&failure) != 0) return endRun(failure);
  engineDisconnect();
  // The spooled files go now, the last one first, unless FileMode keeps them.
  return 0;
}

}  // namespace kavro
