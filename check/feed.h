#pragma once
// An update feed as the update framework reads it: the item it takes (the
// first whose sparkle:os names Windows for x64, otherwise the first item),
// read with Windows' own XML reader; and what a start would be offered.

#include <windows.h>

#include "check/report.h"

constexpr int FeedVersionSize = 64;
constexpr int FeedUrlTextSize = 300;
constexpr int FeedArgumentsSize = 200;
constexpr int FeedOsSize = 32;

enum class FeedShape { Read, NotXml, NoItems };

struct FeedItem {
  wchar_t version[FeedVersionSize];      // sparkle:version, as element or as the enclosure's attribute
  wchar_t url[FeedUrlTextSize];          // the enclosure's url: the download
  wchar_t arguments[FeedArgumentsSize];  // the enclosure's sparkle:installerArguments
  wchar_t os[FeedOsSize];
  bool signature;  // the enclosure carries a non-empty sparkle:edSignature
};

struct FeedReading {
  FeedShape shape;
  HRESULT error;   // the XML reader's, when not XML
  UINT line;       // where the reader stopped
  int itemNumber;  // of the one taken, counted from 1
  FeedItem item;   // the one taken
};

// Reads `size` bytes of a feed; the reader allows no DTD and a bounded depth.
void ReadFeed(const char* bytes, int size, FeedReading& feed);

// What a start would make of the feed on a machine whose newest client
// version directory is `installed`, with tollbury.exe carrying an update
// signing key or not.
void JudgeFeed(CheckReport& report, const wchar_t* area, const FeedReading& feed, const wchar_t* installed,
               bool programCarriesKey);
