#include "gateway/cgi_table.h"

#include <cstring>
#include <initializer_list>

#include "gateway/settings.h"
#include "gateway/strings.h"
#include "platform/platform.h"

namespace kavro {
namespace {

// Copies a value into the payload. The separators are never escaped on the
// link, so a separator byte inside a value (a header, or a URL-decoded
// PATH_INFO, can carry one) would move every later row: a client could choose
// the REMOTE_ADDR or REMOTE_USER the engine sees. Such bytes become '?'.
char* copyValue(char* put, const char* value, std::size_t length) {
  if (length == 0) return put;
  std::memcpy(put, value, length);
  for (char separator : {wire::kValueSeparator, wire::kFieldSeparator}) {
    for (char* p = put; (p = static_cast<char*>(std::memchr(p, separator, length - (p - put)))) != nullptr;)
      *p++ = kSeparatorReplacement;
  }
  return put + length;
}

}  // namespace

void captureCgiTable(platform::Request& request, CgiTable* table) {
  table->payloadSize = 0;
  for (std::size_t i = 0; i < wire::kCgiRowCount; ++i) {
    CgiRow& row = table->rows[i];
    row.name = wire::kCgiRowNames[i];
    row.value = request.variable(row.name);
    row.length = row.value ? std::strlen(row.value) : 0;
    table->payloadSize += row.length + 1;
  }
}

void setCgiRow(CgiTable* table, std::size_t row, const char* value, std::size_t length) {
  table->payloadSize -= table->rows[row].length;
  table->rows[row].value = length ? value : nullptr;
  table->rows[row].length = length;
  table->payloadSize += length;
}

bool buildPayload(platform::Request& request, const CgiTable& table, const char* additionalValues,
                  RequestPayload* payload) {
  payload->size = 0;
  payload->data = static_cast<char*>(platform::heapAlloc(table.payloadSize));
  if (payload->data == nullptr) return false;
  char* put = payload->data;
  for (const CgiRow& row : table.rows) {
    put = copyValue(put, row.value, row.length);
    *put++ = wire::kValueSeparator;
  }
  payload->size = static_cast<std::size_t>(put - payload->data);

  // The split works on a copy: the setting itself has gone into RegistryInfo
  // and stays as read.
  char names[sizeof(Settings::additionalValues)];
  std::size_t length = std::strlen(additionalValues);
  if (length >= sizeof names) length = sizeof names - 1;
  std::memcpy(names, additionalValues, length);
  names[length] = '\0';
  const char* items[sizeof names / 2 + 1];
  std::size_t count = splitItems(names, ',', items, sizeof items / sizeof items[0]);
  for (std::size_t i = 0; i < count; ++i) {
    const char* value = request.variable(items[i]);
    std::size_t valueLength = value ? std::strlen(value) : 0;
    char* grown = static_cast<char*>(platform::heapRealloc(payload->data, payload->size + valueLength + 1));
    if (grown == nullptr) {
      releasePayload(payload);
      return false;
    }
    payload->data = grown;
    copyValue(payload->data + payload->size, value, valueLength);
    payload->size += valueLength;
    payload->data[payload->size++] = wire::kValueSeparator;
  }
  return true;
}

void releasePayload(RequestPayload* payload) {
  platform::heapFree(payload->data);
  payload->data = nullptr;
  payload->size = 0;
}

}  // namespace kavro
