#include "tests/support/key_service.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <gtest/gtest.h>

namespace {

const wchar_t DirectoryVariable[] = L"TOLLBURY_KEYSERVICE_DIR";
const wchar_t MarkerFile[] = L"\\keyservice\\address";

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += static_cast<char>(c < 0x80 ? c : '?');
  return narrow;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring DirectoryFromEnvironment() {
  wchar_t value[MAX_PATH * 2];
  const DWORD length = GetEnvironmentVariableW(DirectoryVariable, value, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return std::wstring();
  std::wstring directory(value, length);
  while (!directory.empty() && directory.back() == L'\\') directory.pop_back();
  return directory;
}

// Test programs live inside the build tree; the service's folder is at its top.
std::wstring DirectoryAboveProgram() {
  wchar_t module[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return std::wstring();
  std::wstring folder(module, length);
  for (;;) {
    const size_t slash = folder.find_last_of(L'\\');
    if (slash == std::wstring::npos) return std::wstring();
    folder.resize(slash);
    if (FileExists(folder + MarkerFile)) return folder + L"\\keyservice";
  }
}

bool ReadWholeFile(const std::wstring& path, std::string& contents) {
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (!file) return false;
  contents.clear();
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) contents.append(chunk, got);
  std::fclose(file);
  return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& contents) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (!file) return false;
  const bool written = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
  return std::fclose(file) == 0 && written;
}

// Names of the "NNNNNN.txt" files of a folder, sorted.
std::vector<std::wstring> NumberedFiles(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*.txt").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name.size() == 10 && name.find_first_not_of(L"0123456789") == 6) names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::string ToHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) break;
    bytes += static_cast<char>(high * 16 + low);
  }
  return bytes;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool StartsWith(const std::string& text, const char* prefix, std::string& rest) {
  const size_t length = std::strlen(prefix);
  if (text.compare(0, length, prefix) != 0) return false;
  rest = text.substr(length);
  return true;
}

RecordedRequest ParseRequest(const std::string& text) {
  RecordedRequest request;
  std::string rest;
  for (const std::string& line : Lines(text)) {
    if (StartsWith(line, "method ", rest)) {
      request.method = rest;
    } else if (StartsWith(line, "path ", rest)) {
      request.path = rest;
    } else if (StartsWith(line, "header ", rest)) {
      const size_t colon = rest.find(':');
      std::string value = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
      if (!value.empty() && value[0] == ' ') value.erase(0, 1);
      request.headers.emplace_back(rest.substr(0, colon), value);
    } else if (StartsWith(line, "body_hex ", rest)) {
      request.body = FromHex(rest);
    } else if (line == "body_complete 0") {
      request.bodyComplete = false;
    }
  }
  return request;
}

std::string ReplyScript(const KeyServiceReply& reply) {
  std::string script = "status " + std::to_string(reply.status) + "\n";
  for (const auto& header : reply.headers) script += "header " + header.first + ": " + header.second + "\n";
  script += "body_hex " + ToHex(reply.body) + "\n";
  if (reply.encoding == KeyServiceEncoding::GzipIfAccepted)
    script += "gzip if-accepted\n";
  else if (reply.encoding == KeyServiceEncoding::GzipAlways)
    script += "gzip always\n";
  if (reply.declaredLength >= 0) script += "content_length " + std::to_string(reply.declaredLength) + "\n";
  if (reply.noLength) script += "length none\n";
  if (reply.delayMs > 0) script += "delay_ms " + std::to_string(reply.delayMs) + "\n";
  if (reply.dropConnection) script += "drop 1\n";
  if (!reply.raw.empty()) script += "raw_hex " + ToHex(reply.raw) + "\n";
  return script;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

int RecordedRequest::HeaderCount(const std::string& name) const {
  int count = 0;
  for (const auto& header : headers)
    if (EqualIgnoringCase(header.first, name)) ++count;
  return count;
}

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& header : headers)
    if (EqualIgnoringCase(header.first, name)) return header.second;
  return std::string();
}

std::wstring KeyServiceDirectory() {
  std::wstring directory = DirectoryFromEnvironment();
  if (directory.empty()) directory = DirectoryAboveProgram();
  if (directory.empty() || !FileExists(directory + L"\\address"))
    ADD_FAILURE() << "key service is not running (does the test name the fixture keyservice?); "
                     "control directory: '"
                  << Narrow(directory) << "'";
  return directory;
}

void KeyServiceReset() {
  const std::wstring directory = KeyServiceDirectory();
  for (const wchar_t* folder : {L"\\replies", L"\\requests"})
    for (const std::wstring& name : NumberedFiles(directory + folder))
      DeleteFileW((directory + folder + L"\\" + name).c_str());
}

void KeyServiceQueueReply(const KeyServiceReply& reply) {
  const std::wstring folder = KeyServiceDirectory() + L"\\replies";
  const std::vector<std::wstring> queued = NumberedFiles(folder);
  const int next = queued.empty() ? 1 : _wtoi(queued.back().c_str()) + 1;
  wchar_t name[32];
  _snwprintf(name, 32, L"\\%06d.txt", next);
  name[31] = L'\0';
  // The service must never see a half-written script: write, then rename.
  const std::wstring pending = folder + L"\\pending-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  if (!WriteWholeFile(pending, ReplyScript(reply)) ||
      !MoveFileExW(pending.c_str(), (folder + name).c_str(), MOVEFILE_REPLACE_EXISTING))
    ADD_FAILURE() << "key service: cannot queue a reply in " << Narrow(folder);
}

void KeyServiceQueueReply(int status, const std::string& body) {
  KeyServiceReply reply;
  reply.status = status;
  reply.body = body;
  KeyServiceQueueReply(reply);
}

std::vector<RecordedRequest> KeyServiceRequests() {
  const std::wstring folder = KeyServiceDirectory() + L"\\requests";
  std::vector<RecordedRequest> requests;
  for (const std::wstring& name : NumberedFiles(folder)) {
    std::string text;
    if (ReadWholeFile(folder + L"\\" + name, text)) requests.push_back(ParseRequest(text));
  }
  return requests;
}

std::vector<RecordedRequest> KeyServiceWaitForRequests(size_t count, unsigned timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  std::vector<RecordedRequest> requests = KeyServiceRequests();
  while (requests.size() < count && GetTickCount64() < deadline) {
    Sleep(50);
    requests = KeyServiceRequests();
  }
  return requests;
}

std::string KeyServicePin() {
  std::string text;
  if (!ReadWholeFile(KeyServiceDirectory() + L"\\pin.txt", text)) ADD_FAILURE() << "key service: cannot read pin.txt";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void KeyServiceUseCaSignedCertificate(bool caSigned) {
  const std::wstring path = KeyServiceDirectory() + L"\\certificate";
  if (!caSigned) {
    DeleteFileW(path.c_str());
  } else if (!WriteWholeFile(path, "ca-signed\n")) {
    ADD_FAILURE() << "key service: cannot switch to the CA-signed certificate";
  }
}

int KeyServiceConnectionsAccepted() {
  std::string text;
  if (!ReadWholeFile(KeyServiceDirectory() + L"\\connections", text)) {
    ADD_FAILURE() << "key service: cannot read its connections file";
    return -1;
  }
  std::string rest;
  for (const std::string& line : Lines(text))
    if (StartsWith(line, "accepted ", rest)) return std::atoi(rest.c_str());
  return -1;
}

std::wstring KeyServiceHost() {
  std::string text;
  if (!ReadWholeFile(KeyServiceDirectory() + L"\\address", text)) {
    ADD_FAILURE() << "key service: cannot read its address";
    return L"127.0.0.1";
  }
  std::wstring host;
  for (char c : text)
    if (c != '\n' && c != '\r') host += static_cast<wchar_t>(c);
  return host;
}

std::wstring KeyServiceUrl(const std::wstring& path) { return L"https://" + KeyServiceHost() + path; }
