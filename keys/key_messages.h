#pragma once
// The two exchanges with the key service: "validateKey", which asks whether
// the session's key files are still accepted, and "getKey", which asks for
// an account's keys. Builds the request bodies and reads the replies; shows
// and logs nothing.

// Request bodies: UTF-8 JSON, NUL-terminated; a longer body is cut to fit.
constexpr int KeyRequestSize = 2028;
// Every decoded reply value: at most 4095 bytes and a NUL.
constexpr int KeyValueSize = 4096;

// Writes the "validateKey" body for the two key file digests (32 hex digits
// each) into `body`. The four texts are placed as they are, unescaped.
// Returns the number of bytes written, the NUL not counted.
int BuildValidateKeyRequest(const char* clientVersion, const char* clientIp, const char* keyDigest,
                            const char* uploadKeyDigest, char (&body)[KeyRequestSize]);

// Writes the "getKey" body into `body`, every text quoted and escaped. One
// leading backslash of `userName` is dropped: the credentials dialog may hand
// back a name prefixed by an empty domain. Returns the bytes written.
int BuildGetKeyRequest(const char* clientVersion, const char* clientIp, const char* userName, const char* password,
                       char (&body)[KeyRequestSize]);

// True only when the reply's responseData.result is the literal true and its
// response is exactly "PASS". A null reply counts as an empty text.
bool JudgeValidateKeyReply(const char* reply);

enum class GetKeyVerdict { KeysIssued, ServerUnsupported, Rejected };

struct GetKeyOutcome {
  GetKeyVerdict verdict;
  // KeysIssued: the decoded keys. Each is NUL-terminated for convenience, but
  // its length is the byte count: a key may hold NUL bytes.
  char key[KeyValueSize];
  int keyLength;
  char uploadKey[KeyValueSize];
  int uploadKeyLength;
  // Rejected: the service's explanation, when it gave one.
  bool hasMessage;
  char message[KeyValueSize];
};

// Reads a "getKey" reply. A reply that says "PASS" but lacks either key, or
// holds one that cannot be decoded, is Rejected: nothing is ever written
// that did not come from the reply. A null reply counts as an empty text.
void ReadGetKeyReply(const char* reply, GetKeyOutcome& outcome);
