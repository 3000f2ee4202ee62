#pragma once
// How a downloaded update is started: the command line is ours alone, never
// the feed's. Needs no Windows header.
#include "sys/wide_char.h"

enum class InstallerKind { Refused, Msi, Exe };

// Room for the program and the command line that start one installer.
constexpr int InstallerCommandSize = 2048;

struct InstallerCommand {
  InstallerKind kind;
  WideChar program[InstallerCommandSize];      // what is started, a full path
  WideChar commandLine[InstallerCommandSize];  // the program quoted, then our own arguments
};

// The kind of `path` by its extension, in any case: ".msi" goes through
// `systemDirectory`\msiexec.exe /i "<path>" /passive, ".exe" is started with
// no arguments. Refused, with empty texts, for any other file, a path with a
// quote (it could not be quoted whole), or one that does not fit.
void FormInstallerCommand(const WideChar* path, const WideChar* systemDirectory, InstallerCommand& command);
