// The gateway's main sequence: one request, from the CGI environment to the
// Engine Server and back to standard output.
#include "gateway/driver.h"

#include <cstdlib>

#include "decoder/decoder.h"
#include "gateway/cgi_table.h"
#include "gateway/engine_link.h"
#include "gateway/engine_messages.h"
#include "gateway/forward.h"
#include "gateway/report.h"
#include "gateway/settings.h"
#include "platform/platform.h"

namespace kavro {
namespace {

constexpr char kNoMemory[] = "KAVRO memory allocation failure.";

// The files spooled in this run. A run that ends early leaves them on disk.
SpoolList gSpool;

// Receives the reply to the Request message and writes its body when its
// status is '0'. False when the run must end here.
bool relayReply() {
  std::int32_t announced = engineRecvLength();
  if (announced <= 0) {
    // Reported with whatever the link last said (possibly nothing); the
    // conversation goes on with the Close message.
    reportError("%s", engineLastError());
    return true;
  }
  std::size_t size = static_cast<std::size_t>(announced);
  char* reply = static_cast<char*>(platform::heapAlloc(size + 1));
  if (reply == nullptr) {
    reportError(kNoMemory);
    return false;
  }
  std::size_t kept = 0;
  if (engineRecv(reply, size + 1, announced, &kept) < 0) {
    // A reply cut short is never written, not even in part.
    platform::heapFree(reply);
    reportError("%s", engineLastError());
    return false;
  }
  ReplyBody body = decodeReply(reply, size, kept);
  if (body.status == '0') {
    std::size_t written = 0;
    if (!platform::writeStdOutput(body.data, body.size, &written)) {
      reportError("KAVRO WriteFile failed, error %d.", platform::lastErrorCode());
    }
    if (written != body.size) reportError("KAVRO WriteFile did not write complete reply.");
  }
  platform::heapFree(reply);
  return true;
}

}  // namespace

int runGateway() {
  platform::processInit();

  // 1. Decode the form data. A malformed request ends here, inside the
  // decoder, with its error page and exit status 1.
  qDecode();

  // 2-3. The process heap and the standard output handle.
  if (!platform::heapAvailable()) {
    reportError("KAVRO3 GetProcessHeap failure.");
    return 0;
  }
  if (!platform::stdOutputValid()) {
    reportError("KAVRO GetStdHandle failed, error %d.", platform::lastErrorCode());
    return 0;
  }

  // 4-6. The CGI variables and the settings. The environment's QUERY_STRING is
  // never sent: row 0 carries the re-encoded form fields instead.
  CgiTable table;
  captureCgiTable(&table);
  readSettings(table.rows[kRowScriptName].value);
  setCgiRow(&table, kRowQueryString, nullptr, 0);

  // 7-8. Re-encode the form fields into row 0, spooling uploads, then
  // release the entry list.
  PairText fields;
  if (!forwardFields(qFirstEntry(), settings(), &gSpool, &fields)) {
    releasePairText(&fields);
    reportError("KAVRO memory allocation error");
    return 0;
  }
  setCgiRow(&table, kRowQueryString, fields.data, fields.length);
  qReleaseEntries();

  // 9-12. RegistryInfo in row 25, then the payload; the fields live on only
  // inside it.
  setCgiRow(&table, kRowRegistrySettings, registryInfo(), registryInfoLength());
  Payload payload;
  bool built = buildPayload(table, settings().additionalValues, &payload);
  releasePairText(&fields);
  if (!built) {
    reportError(kNoMemory);
    return 0;
  }

  // 13. Connect to the first Engine Server that accepts.
  ServerList servers;
  buildServerList(settings().serverUrl, settings().serverPort, &servers);
  std::size_t start = firstServer(settings().multipleServers, servers.count);
  if (engineConnectAny(servers, start, settings().serverUrl, settings().serverPort, engineConnect) != 0) {
    releasePayload(&payload);
    reportError("%s", engineLastError());
    return 0;
  }

  // 14. Log in.
  const char* rejection = nullptr;
  switch (engineLogin(settings(), &rejection)) {
    case LoginResult::kAccepted: break;
    case LoginResult::kRejected:
      releasePayload(&payload);
      reportError("%s", rejection);
      return 0;
    case LoginResult::kLinkFailure:
      releasePayload(&payload);
      reportError("%s", engineLastError());
      return 0;
  }

  // 15. The request.
  SendResult sent = engineSendRequest(payload.data, payload.size);
  releasePayload(&payload);
  if (sent == SendResult::kNoMemory) {
    reportError(kNoMemory);
    return 0;
  }
  if (sent == SendResult::kLinkFailure) {
    reportError("%s", engineLastError());
    return 0;
  }

  // 16. The reply.
  if (!relayReply()) return 0;

  // 17-18. Close the conversation and the link. A Close that cannot be sent
  // ends the run with the link open and the spooled files in place.
  if (!engineClose()) {
    reportError("%s", engineLastError());
    return 0;
  }
  engineDisconnect();

  // 19. Remove the spooled files, the last one first.
  if (settings().fileMode[0] == '1') removeSpooledFiles(&gSpool);
  return 0;
}

}  // namespace kavro
