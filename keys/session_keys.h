#pragma once
#include "keys/service_trust.h"
#include "net/post_json.h"

// Makes sure the session's key file and upload key file exist and are
// accepted by the key service at `serviceUrl`, asking the user for account
// credentials and fetching new keys when they are not; `trust` is the
// session's, as its settings were read.
void EnsureSessionKeys(const wchar_t* serviceUrl, const wchar_t* sessionName, const ServiceTrust& trust);

// The "validateKey" exchange of a start alone: posts the two digests (32 hex
// digits each) for the client identity texts and judges the reply. Returns
// PostJson's result, `status` as it reported it, and `accepted` after 0.
int ValidateKeyDigests(const wchar_t* serviceUrl, const char* clientVersion, const char* clientIp,
                       const wchar_t* keyDigest, const wchar_t* uploadKeyDigest, const ServerTrust& trust,
                       ProxyRoute& route, int& status, bool& accepted, PostJsonTrace* trace = nullptr);
