#include "check/feed.h"

#include <windows.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <cwchar>

#include "launcher/version_rank.h"

namespace {

constexpr wchar_t SparkleNamespace[] = L"http://www.andymatuschak.org/xml-namespaces/sparkle";
// An RSS item sits at depth 3; anything far deeper is no feed.
constexpr LONG_PTR MaxElementDepth = 32;
constexpr UINT NoLine = 0;
const wchar_t* const ShortInstallerArguments[] = {L"/passive", L"/qn", L"/quiet", L"/norestart"};

template <int Size>
void CopyText(wchar_t (&target)[Size], const wchar_t* text) {
  int i = 0;
  for (; i < Size - 1 && text[i] != L'\0'; ++i) target[i] = text[i];
  target[i] = L'\0';
}

template <int Size>
void AppendText(wchar_t (&target)[Size], const wchar_t* text) {
  int length = static_cast<int>(wcsnlen(target, Size - 1));
  for (int i = 0; length < Size - 1 && text[i] != L'\0'; ++i) target[length++] = text[i];
  target[length] = L'\0';
}

// Names compare as the framework compares them: exactly, and an RSS element
// only outside any namespace.
bool IsName(IXmlReader& reader, const wchar_t* namespaceUri, const wchar_t* localName) {
  const wchar_t* name = nullptr;
  const wchar_t* uri = nullptr;
  return SUCCEEDED(reader.GetLocalName(&name, nullptr)) && SUCCEEDED(reader.GetNamespaceUri(&uri, nullptr)) &&
         std::wcscmp(name, localName) == 0 && std::wcscmp(uri, namespaceUri) == 0;
}

void ReadEnclosure(IXmlReader& reader, FeedItem& item) {
  for (HRESULT at = reader.MoveToFirstAttribute(); at == S_OK; at = reader.MoveToNextAttribute()) {
    const wchar_t* value = nullptr;
    if (FAILED(reader.GetValue(&value, nullptr))) continue;
    if (IsName(reader, L"", L"url"))
      CopyText(item.url, value);
    else if (IsName(reader, SparkleNamespace, L"version"))
      CopyText(item.version, value);
    else if (IsName(reader, SparkleNamespace, L"os"))
      CopyText(item.os, value);
    else if (IsName(reader, SparkleNamespace, L"installerArguments"))
      CopyText(item.arguments, value);
    else if (IsName(reader, SparkleNamespace, L"edSignature"))
      item.signature = value[0] != L'\0';
  }
  reader.MoveToElement();
}

// The framework takes the first item meant for Windows on x64 and stops
// reading there.
bool IsForThisWindows(const FeedItem& item) {
  return std::wcscmp(item.os, L"windows") == 0 || std::wcscmp(item.os, L"windows-x64") == 0;
}

struct ReadState {
  int depth;
  int channels;      // open <channel> elements
  int itemDepth;     // of the open <item>; 0 when none
  int versionDepth;  // of the open <sparkle:version>; 0 when none
  FeedItem current;
  FeedItem first;
  int itemsRead;
};

// True when this item is the one taken.
bool EndItem(ReadState& state, FeedReading& feed) {
  state.itemDepth = 0;
  state.versionDepth = 0;
  if (++state.itemsRead == 1) state.first = state.current;
  if (!IsForThisWindows(state.current)) return false;
  feed.item = state.current;
  feed.itemNumber = state.itemsRead;
  return true;
}

void ReadElement(IXmlReader& reader, ReadState& state, FeedReading& feed, bool& stop) {
  const bool empty = reader.IsEmptyElement() != FALSE;
  const int depth = state.depth + 1;
  if (!empty) state.depth = depth;
  if (state.itemDepth == 0 && IsName(reader, L"", L"channel")) {
    if (!empty) ++state.channels;
  } else if (state.itemDepth == 0 && state.channels > 0 && IsName(reader, L"", L"item")) {
    state.current = FeedItem();
    state.itemDepth = depth;
    if (empty) stop = EndItem(state, feed);
  } else if (state.itemDepth != 0 && IsName(reader, L"", L"enclosure")) {
    ReadEnclosure(reader, state.current);
  } else if (state.itemDepth != 0 && !empty && IsName(reader, SparkleNamespace, L"version")) {
    state.versionDepth = depth;
  }
}

// Like the framework, stops at the end of the channel: what follows is not read.
void ReadEndElement(IXmlReader& reader, ReadState& state, FeedReading& feed, bool& stop) {
  if (state.versionDepth == state.depth) {
    state.versionDepth = 0;
  } else if (state.itemDepth == state.depth) {
    stop = EndItem(state, feed);
  } else if (state.itemDepth == 0 && state.channels > 0 && IsName(reader, L"", L"channel")) {
    stop = --state.channels == 0;
  }
  --state.depth;
}

HRESULT ReadItems(IXmlReader& reader, FeedReading& feed) {
  ReadState state = {};
  bool stop = false;
  XmlNodeType type = XmlNodeType_None;
  HRESULT read = S_OK;
  while (!stop && (read = reader.Read(&type)) == S_OK) {
    const wchar_t* value = nullptr;
    if (type == XmlNodeType_Element)
      ReadElement(reader, state, feed, stop);
    else if (type == XmlNodeType_EndElement)
      ReadEndElement(reader, state, feed, stop);
    else if ((type == XmlNodeType_Text || type == XmlNodeType_CDATA) && state.versionDepth != 0 &&
             SUCCEEDED(reader.GetValue(&value, nullptr)))
      AppendText(state.current.version, value);
  }
  if (FAILED(read)) return read;
  if (feed.itemNumber == 0 && state.itemsRead > 0) {
    feed.item = state.first;
    feed.itemNumber = 1;
  }
  feed.shape = state.itemsRead > 0 ? FeedShape::Read : FeedShape::NoItems;
  return S_OK;
}

HRESULT ReadWithXmlLite(IStream* stream, FeedReading& feed) {
  IXmlReader* reader = nullptr;
  HRESULT result = CreateXmlReader(__uuidof(IXmlReader), reinterpret_cast<void**>(&reader), nullptr);
  if (FAILED(result)) return result;
  result = reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
  if (SUCCEEDED(result)) result = reader->SetProperty(XmlReaderProperty_MaxElementDepth, MaxElementDepth);
  if (SUCCEEDED(result)) result = reader->SetInput(stream);
  if (SUCCEEDED(result)) result = ReadItems(*reader, feed);
  if (FAILED(result) && FAILED(reader->GetLineNumber(&feed.line))) feed.line = NoLine;
  reader->Release();
  return result;
}

bool IsShortInstallerArgument(const wchar_t* word, size_t length) {
  for (const wchar_t* allowed : ShortInstallerArguments)
    if (std::wcslen(allowed) == length && _wcsnicmp(word, allowed, length) == 0) return true;
  return false;
}

bool HasOnlyShortInstallerArguments(const wchar_t* arguments) {
  for (const wchar_t* word = arguments; *word != L'\0';) {
    const size_t length = std::wcscspn(word, L" \t");
    if (length > 0 && !IsShortInstallerArgument(word, length)) return false;
    word += length;
    if (*word != L'\0') ++word;
  }
  return true;
}

void JudgeDownload(CheckReport& report, const wchar_t* area, const FeedItem& item, bool programCarriesKey) {
  if (!programCarriesKey)
    AddFinding(report, FindingStatus::Warn, area,
               L"tollbury.exe carries no update signing key: the feed's downloads are verified by HTTPS alone; build "
               L"the package with TOLLBURY_UPDATE_PUBLIC_KEY and sign the downloads");
  else if (!item.signature)
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed's item has no sparkle:edSignature, and tollbury.exe carries an update signing key: the "
               L"update framework refuses the download; sign it");
  else
    AddFinding(report, FindingStatus::Ok, area,
               L"the feed's item is signed (sparkle:edSignature), and tollbury.exe carries the key that verifies it");
  if (!HasOnlyShortInstallerArguments(item.arguments))
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed's item names sparkle:installerArguments \"%ls\" beyond /passive, /qn, /quiet and "
               L"/norestart: an .msi takes properties and transforms from them; keep to those four",
               item.arguments);
}

}  // namespace

void ReadFeed(const char* bytes, int size, FeedReading& feed) {
  feed = FeedReading();
  IStream* stream = SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes), static_cast<UINT>(size));
  const HRESULT read = stream != nullptr ? ReadWithXmlLite(stream, feed) : E_OUTOFMEMORY;
  if (stream != nullptr) stream->Release();
  if (FAILED(read)) {
    feed.shape = FeedShape::NotXml;
    feed.error = read;
  }
}

void JudgeFeed(CheckReport& report, const wchar_t* area, const FeedReading& feed, const wchar_t* installed,
               bool programCarriesKey) {
  if (feed.shape == FeedShape::NotXml) {
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed is not XML (0x%08lX at line %u): update checks end in an error and the client starts "
               L"without an update",
               static_cast<unsigned long>(feed.error), feed.line);
    return;
  }
  if (feed.shape == FeedShape::NoItems) {
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed has no item in a channel: update checks find no update; publish the client's releases in it");
    return;
  }
  const FeedItem& item = feed.item;
  if (item.version[0] == L'\0') {
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed's item %d has no sparkle:version: update checks cannot compare it with the installed %ls",
               feed.itemNumber, installed);
    return;
  }
  if (!IsNewerVersion(RankVersionName(item.version), RankVersionName(installed))) {
    AddFinding(report, FindingStatus::Ok, area,
               L"the feed offers version %ls (item %d), not newer than the installed %ls: a start finds no update",
               item.version, feed.itemNumber, installed);
  } else if (item.url[0] == L'\0') {
    AddFinding(report, FindingStatus::Warn, area,
               L"the feed offers version %ls (item %d), newer than the installed %ls, without a download (no "
               L"enclosure url): the update dialog can only open a link",
               item.version, feed.itemNumber, installed);
  } else {
    AddFinding(report, FindingStatus::Ok, area,
               L"the feed offers version %ls (item %d), newer than the installed %ls: an administrator's start "
               L"offers to install %ls",
               item.version, feed.itemNumber, installed, item.url);
  }
  if (item.url[0] != L'\0') JudgeDownload(report, area, item, programCarriesKey);
}
