// The parsers of text from the registry, Group Policy, the user's Internet
// settings and the command line, each held to a property: a round trip or a
// few lines of reference. The first byte picks the parser; the rest are texts
// as read by ReadWideTexts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "fuzz/wide_input.h"
#include "launcher/argument_quoting.h"
#include "launcher/last_check.h"
#include "launcher/service_url.h"
#include "net/pin_list.h"
#include "net/proxy_lists.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

WideText Ascii(const std::string& text) { return WideText(text.begin(), text.end()); }

WideText Lower(WideText text) {
  for (WideChar& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<WideChar>(c - 'A' + 'a');
  return text;
}

// The entries of a proxy or bypass list, empty ones included.
std::vector<WideText> Split(const WideText& list) {
  std::vector<WideText> entries(1);
  for (WideChar c : list) {
    if (c < 0x80 && std::strchr("; \t\r\n,", static_cast<char>(c)) != nullptr)
      entries.emplace_back();
    else
      entries.back() += c;
  }
  return entries;
}

// A pin list that parses spells its pins as FormatServerKeyPin does, and the
// pins formatted again parse to the same digests.
void CheckPins(const WideText& text) {
  ServerKeyPins pins, again;
  WideChar problem[PinProblemSize];
  const bool parsed = ParseServerKeyPins(text.c_str(), pins, problem);
  Require(parsed == (problem[0] == 0));
  if (!parsed) return;
  WideText formatted;
  for (int i = 0; i < pins.count; ++i) {
    WideChar pin[ServerKeyPinSize];
    FormatServerKeyPin(pins.digests[i], pin);
    Require(text.find(pin) != WideText::npos && MatchesServerKeyPin(pins, pins.digests[i]));
    formatted += pin + Ascii(" ;");
  }
  Require(ParseServerKeyPins(formatted.c_str(), again, problem) && again.count == pins.count);
  Require(std::memcmp(again.digests, pins.digests, ServerKeyDigestSize * static_cast<size_t>(pins.count)) == 0);
}

// "*" matches any run of characters; letters match regardless of case.
bool MatchesPattern(const WideText& pattern, const WideText& anyCaseHost) {
  const WideText host = Lower(anyCaseHost);
  std::vector<char> row(host.size() + 1, 0);  // whether the pattern so far matches host's first j
  row[0] = 1;
  for (WideChar p : Lower(pattern)) {
    std::vector<char> next(host.size() + 1, 0);
    for (size_t j = 0; j <= host.size(); ++j)
      next[j] = p == '*' ? row[j] || (j > 0 && next[j - 1]) : j > 0 && row[j - 1] && p == host[j - 1];
    row.swap(next);
  }
  return row[host.size()] != 0;
}

// The bypass rules: "<local>" takes names without a dot; any other entry,
// less a "scheme://" and a ":443", is a pattern; another port takes nothing.
bool BypassReference(const WideText& list, const WideText& host) {
  for (WideText entry : Split(list)) {
    if (Lower(entry) == Ascii("<local>") && host.find_first_of(Ascii(".:")) == WideText::npos) return true;
    if (Lower(entry) == Ascii("<local>")) continue;
    if (entry.find(Ascii("://")) != WideText::npos) entry.erase(0, entry.find(Ascii("://")) + 3);
    const size_t colon = entry.rfind(':');
    if (colon != WideText::npos && (entry[0] != '[' || colon > entry.find(']'))) {
      if (entry.substr(colon + 1) != Ascii("443")) continue;
      entry.erase(colon);
    }
    if (!entry.empty() && MatchesPattern(entry, host)) return true;
  }
  return false;
}

// "localhost", "[::1]", "::1", or four dotted parts of one to three digits,
// each at most 255, the first 127.
bool LoopbackReference(const WideText& host) {
  if (Lower(host) == Ascii("localhost") || host == Ascii("[::1]") || host == Ascii("::1")) return true;
  if (host.find_first_not_of(Ascii("0123456789.")) != WideText::npos) return false;
  unsigned a = 0, b = 256, c = 256, d = 256;
  char tail;
  const std::string narrow(host.begin(), host.end());
  const int read = std::sscanf(narrow.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail);
  return read == 4 && a == 127 && b < 256 && c < 256 && d < 256;
}

void CheckBypass(const WideText& list, const WideText& host) {
  Require(ProxyBypassesHost(list.c_str(), host.c_str()) == BypassReference(list, host));
  Require(IsLoopbackHost(host.c_str()) == LoopbackReference(host));
  bool keeps = false;
  for (const WideText& entry : Split(list)) keeps = keeps || Lower(entry) == Ascii("<-loopback>");
  Require(BypassListKeepsLoopback(list.c_str()) == keeps);
}

// A proxy picked is terminated in its buffer, and a plain "host:port" picked
// is picked again from itself.
void CheckPickedProxy(const WideText& list) {
  WideChar proxy[ProxyNameSize], again[ProxyNameSize];
  const bool picked = PickHttpsProxy(list.c_str(), proxy);
  const WideText name(proxy);
  Require(picked == !name.empty());
  if (!picked || name.find_first_of(Ascii("=[")) != WideText::npos || name.find(Ascii("://")) != WideText::npos) return;
  Require(PickHttpsProxy(proxy, again) && name == again);
}

// The service URL is the Server text made https ("https://" in front unless it
// begins "http"), whole, or empty when it does not fit.
void CheckServiceUrl(const WideText& server) {
  WideChar url[ServiceUrlSize];
  const bool formed = FormServiceUrl(server.c_str(), url);
  const WideText expected = server.compare(0, 5, Ascii("https")) == 0  ? server
                            : server.compare(0, 4, Ascii("http")) == 0 ? Ascii("https") + server.substr(4)
                                                                       : Ascii("https://") + server;
  Require(formed == (expected.size() < ServiceUrlSize) && WideText(url) == (formed ? expected : WideText()));
}

// LastCheck reads as the C locale's wcstoll reads it, and what the gate
// writes reads back the same.
void CheckLastCheck(const WideText& text) {
  const long long value = LastCheckFromText(text.c_str());
  Require(value == std::wcstoll(std::wstring(text.begin(), text.end()).c_str(), nullptr, 10));
  WideChar written[LastCheckTextSize];
  Require(FormatLastCheck(value, written) == static_cast<int>(std::to_string(value).size()));
  Require(WideText(written) == Ascii(std::to_string(value)) && LastCheckFromText(written) == value);
}

// Over quoted arguments, the whole length within a limit ends after the last
// argument that fits.
void CheckWholeArguments(const std::vector<WideText>& arguments, unsigned limitSeed) {
  std::vector<WideChar> line(8192);  // room for every argument of an input quoted
  int length = 0;
  std::vector<int> ends = {0};
  for (const WideText& argument : arguments) {
    Require(AppendQuotedArgument(line.data(), static_cast<int>(line.size()), length, argument.c_str()));
    ends.push_back(length);
  }
  const int limit = static_cast<int>(limitSeed % static_cast<unsigned>(length + 2));
  Require(WholeArgumentsLength(line.data(), limit) == *(std::upper_bound(ends.begin(), ends.end(), limit) - 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > 2048) return 0;
  const std::vector<WideText> texts = ReadWideTexts(data + 3, size - 3, 64);
  const WideText& first = texts[0];
  switch (data[0] % 6) {
    case 0:
      CheckPins(first);
      break;
    case 1:
      CheckBypass(first, texts.size() > 1 ? texts[1] : WideText());
      break;
    case 2:
      CheckPickedProxy(first);
      break;
    case 3:
      CheckServiceUrl(first);
      break;
    case 4:
      CheckLastCheck(first);
      break;
    default:
      CheckWholeArguments(texts, static_cast<unsigned>(data[1] << 8 | data[2]));
  }
  return 0;
}
