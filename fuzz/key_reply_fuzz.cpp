// JudgeValidateKeyReply and ReadGetKeyReply on arbitrary replies, checked
// against a model built from the reference JSON lookup and decoders: the
// verdict, and every key and message byte reported, must be what the reply
// holds at its path. The reply is an exact-size copy with its terminating
// NUL, so any read outside it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/json_reference.h"
#include "keys/key_messages.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// The string at `path`, decoded; -1 when absent, not a string or undecodable.
template <class Decode>
int ModelString(const char* reply, int length, const char* path, Decode decode, char* out) {
  const char* start = nullptr;
  int extent = 0;
  if (length == 0 || reference::Find(reply, length, path, &start, &extent) != 11) return -1;
  Require(start >= reply && start + extent <= reply + length);  // found inside the reply
  return decode(start + 1, extent - 2, out);
}

bool Is(const char* decoded, int length, const char* word) {
  return length == static_cast<int>(std::strlen(word)) && std::memcmp(decoded, word, std::strlen(word)) == 0;
}

bool ModelJudge(const char* reply, int length, char* scratch) {
  if (length == 0) return false;
  const char* start = nullptr;
  int extent = 0;
  if (reference::Find(reply, length, "$.responseData.result", &start, &extent) != 13) return false;
  return Is(scratch, ModelString(reply, length, "$.response", reference::Unescape, scratch), "PASS");
}

struct Model {
  GetKeyVerdict verdict;
  int keyLength, uploadKeyLength, messageLength;
  char key[KeyValueSize], uploadKey[KeyValueSize], message[KeyValueSize], verdictText[KeyValueSize];
};

void ModelRead(const char* reply, int length, Model& m) {
  m.keyLength = m.uploadKeyLength = m.messageLength = -1;
  const int verdictLength = ModelString(reply, length, "$.response", reference::Unescape, m.verdictText);
  if (Is(m.verdictText, verdictLength, "PASS")) {
    m.keyLength = ModelString(reply, length, "$.responseData.key", reference::Base64Decode, m.key);
    m.uploadKeyLength = ModelString(reply, length, "$.responseData.uploadKey", reference::Base64Decode, m.uploadKey);
    if (m.keyLength >= 0 && m.uploadKeyLength >= 0) {
      m.verdict = GetKeyVerdict::KeysIssued;
      return;
    }
  } else if (Is(m.verdictText, verdictLength, "UNSUPPORTED")) {
    m.verdict = GetKeyVerdict::ServerUnsupported;
    return;
  }
  m.verdict = GetKeyVerdict::Rejected;
  m.messageLength = ModelString(reply, length, "$.responseMessage", reference::Unescape, m.message);
}

bool SameBytes(const char* a, const char* b, int length) {
  return std::memcmp(a, b, static_cast<size_t>(length)) == 0 && a[length] == '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  // The reply ends at its first NUL, as for the readers; nothing is kept
  // after it, so that a read beyond it is caught too.
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const int length = static_cast<int>(nul ? nul - data : size);
  std::unique_ptr<char[]> reply(new char[length + 1]);
  std::memcpy(reply.get(), data, static_cast<size_t>(length));
  reply[length] = '\0';

  std::unique_ptr<Model> m(new Model);
  Require(JudgeValidateKeyReply(reply.get()) == ModelJudge(reply.get(), length, m->verdictText));

  // An outcome full of stale bytes: whatever is reported must come from this reply.
  std::unique_ptr<GetKeyOutcome> outcome(new GetKeyOutcome);
  std::memset(outcome.get(), 0x5A, sizeof(GetKeyOutcome));
  ReadGetKeyReply(reply.get(), *outcome);
  ModelRead(reply.get(), length, *m);
  Require(outcome->verdict == m->verdict);
  if (m->verdict == GetKeyVerdict::KeysIssued) {
    Require(outcome->keyLength == m->keyLength && SameBytes(outcome->key, m->key, m->keyLength));
    Require(outcome->uploadKeyLength == m->uploadKeyLength &&
            SameBytes(outcome->uploadKey, m->uploadKey, m->uploadKeyLength));
  } else {
    Require(outcome->keyLength == 0 && outcome->key[0] == '\0');
    Require(outcome->uploadKeyLength == 0 && outcome->uploadKey[0] == '\0');
  }
  if (m->verdict == GetKeyVerdict::Rejected && m->messageLength >= 0) {
    Require(outcome->hasMessage && SameBytes(outcome->message, m->message, m->messageLength));
  } else {
    Require(!outcome->hasMessage && outcome->message[0] == '\0');
  }
  return 0;
}
