#include "keys/key_messages.h"

#include <climits>
#include <cstring>

#include "json/json_decode.h"
#include "json/json_find.h"
#include "json/json_print.h"

static_assert(KeyValueSize == JsonValueBufferSize, "decoded values use the JSON decoders' buffer size");

namespace {

const char* const ReplyResultPath = "$.responseData.result";
const char* const ReplyVerdictPath = "$.response";
const char* const ReplyKeyPath = "$.responseData.key";
const char* const ReplyUploadKeyPath = "$.responseData.uploadKey";
const char* const ReplyMessagePath = "$.responseMessage";

typedef int (*JsonDecoder)(const char* text, int length, char* out);

int TextLength(const char* text) {
  if (text == nullptr) return 0;
  const size_t length = std::strlen(text);
  return length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

// Finds the string at `path` and decodes its body into `out`. Returns the
// decoded byte count, or -1 when the value is absent, not a string, or
// cannot be decoded.
int ReadStringValue(const char* reply, const char* path, JsonDecoder decode, char (&out)[KeyValueSize]) {
  const int length = TextLength(reply);
  if (length == 0) return -1;
  const char* start = nullptr;
  int extent = 0;
  if (JsonFind(reply, length, path, &start, &extent) != static_cast<int>(JsonTokenKind::String)) return -1;
  return decode(start + 1, extent - 2, out);
}

// Compares the whole decoded value, so "PASS " or "PASSED" do not count.
bool DecodedEquals(const char* decoded, int decodedLength, const char* word) {
  const int wordLength = TextLength(word);
  return decodedLength == wordLength && std::memcmp(decoded, word, static_cast<size_t>(wordLength)) == 0;
}

bool ReadKeys(const char* reply, GetKeyOutcome& outcome) {
  outcome.keyLength = ReadStringValue(reply, ReplyKeyPath, JsonBase64Decode, outcome.key);
  if (outcome.keyLength < 0) return false;
  outcome.uploadKeyLength = ReadStringValue(reply, ReplyUploadKeyPath, JsonBase64Decode, outcome.uploadKey);
  return outcome.uploadKeyLength >= 0;
}

void ClearOutcome(GetKeyOutcome& outcome) {
  outcome.verdict = GetKeyVerdict::Rejected;
  outcome.key[0] = '\0';
  outcome.keyLength = 0;
  outcome.uploadKey[0] = '\0';
  outcome.uploadKeyLength = 0;
  outcome.hasMessage = false;
  outcome.message[0] = '\0';
}

}  // namespace

int BuildValidateKeyRequest(const char* clientVersion, const char* clientIp, const char* keyDigest,
                            const char* uploadKeyDigest, char (&body)[KeyRequestSize]) {
  return JsonPrintf(body, KeyRequestSize,
                    "{\"appId\":\"DUREZIR\",\"client_version\":\"%s\",\"client_ip\":\"%s\","
                    "\"command\":\"validateKey\",\"md5\":\"%s\",\"uploadMd5\":\"%s\"}",
                    clientVersion, clientIp, keyDigest, uploadKeyDigest);
}

int BuildGetKeyRequest(const char* clientVersion, const char* clientIp, const char* userName, const char* password,
                       char (&body)[KeyRequestSize]) {
  if (userName != nullptr && userName[0] == '\\') ++userName;
  return JsonPrintf(body, KeyRequestSize,
                    "{\"appId\":\"DUREZIR\",\"client_version\":%Q,\"client_ip\":%Q,"
                    "\"command\":\"getKey\",\"user\":%Q,\"pw\":%Q}",
                    clientVersion, clientIp, userName, password);
}

bool JudgeValidateKeyReply(const char* reply) {
  const int length = TextLength(reply);
  if (length == 0) return false;
  if (JsonFind(reply, length, ReplyResultPath, nullptr, nullptr) != static_cast<int>(JsonTokenKind::True)) {
    return false;
  }
  char verdict[KeyValueSize];
  const int verdictLength = ReadStringValue(reply, ReplyVerdictPath, JsonUnescape, verdict);
  return verdictLength >= 0 && DecodedEquals(verdict, verdictLength, "PASS");
}

void ReadGetKeyReply(const char* reply, GetKeyOutcome& outcome) {
  ClearOutcome(outcome);
  char verdict[KeyValueSize];
  const int verdictLength = ReadStringValue(reply, ReplyVerdictPath, JsonUnescape, verdict);
  if (verdictLength >= 0 && DecodedEquals(verdict, verdictLength, "PASS")) {
    if (ReadKeys(reply, outcome)) {
      outcome.verdict = GetKeyVerdict::KeysIssued;
      return;
    }
    outcome.key[0] = '\0';
    outcome.keyLength = 0;
    outcome.uploadKey[0] = '\0';
    outcome.uploadKeyLength = 0;
  } else if (verdictLength >= 0 && DecodedEquals(verdict, verdictLength, "UNSUPPORTED")) {
    outcome.verdict = GetKeyVerdict::ServerUnsupported;
    return;
  }
  outcome.hasMessage = ReadStringValue(reply, ReplyMessagePath, JsonUnescape, outcome.message) >= 0;
  if (!outcome.hasMessage) outcome.message[0] = '\0';
}
