#include "launcher/installer_command.h"

namespace {

bool IsSeparator(WideChar c) { return c == '\\' || c == '/'; }

WideChar AsciiLower(WideChar c) { return c >= 'A' && c <= 'Z' ? static_cast<WideChar>(c + ('a' - 'A')) : c; }

// The text after the last dot of the file name, or null when it has none.
const WideChar* ExtensionOf(const WideChar* path) {
  const WideChar* extension = nullptr;
  for (const WideChar* c = path; *c != 0; ++c) {
    if (*c == '.') extension = c + 1;
    if (IsSeparator(*c)) extension = nullptr;
  }
  return extension;
}

bool SameAsciiNoCase(const WideChar* text, const char* lower) {
  for (; *lower != '\0'; ++text, ++lower)
    if (AsciiLower(*text) != static_cast<unsigned char>(*lower)) return false;
  return *text == 0;
}

InstallerKind KindOf(const WideChar* path) {
  for (const WideChar* c = path; *c != 0; ++c)
    if (*c == '"') return InstallerKind::Refused;
  const WideChar* extension = ExtensionOf(path);
  if (path[0] == 0 || extension == nullptr) return InstallerKind::Refused;
  if (SameAsciiNoCase(extension, "msi")) return InstallerKind::Msi;
  if (SameAsciiNoCase(extension, "exe")) return InstallerKind::Exe;
  return InstallerKind::Refused;
}

// A bounded writer: once a piece does not fit, everything after it is dropped
// and `fits` stays false.
struct Writer {
  WideChar* text;
  int length;
  bool fits;
};

void Append(Writer& out, const WideChar* piece) {
  for (; out.fits && *piece != 0; ++piece) {
    if (out.length == InstallerCommandSize - 1) {
      out.fits = false;
      break;
    }
    out.text[out.length++] = *piece;
  }
  out.text[out.length] = 0;
}

void AppendAscii(Writer& out, const char* piece) {
  for (; *piece != '\0'; ++piece) {
    const WideChar one[2] = {static_cast<WideChar>(static_cast<unsigned char>(*piece)), 0};
    Append(out, one);
  }
}

void Refuse(InstallerCommand& command) {
  command.kind = InstallerKind::Refused;
  command.program[0] = 0;
  command.commandLine[0] = 0;
}

}  // namespace

void FormInstallerCommand(const WideChar* path, const WideChar* systemDirectory, InstallerCommand& command) {
  Refuse(command);
  const InstallerKind kind = KindOf(path);
  // Without the system folder msiexec.exe would be looked for on the search path.
  if (kind == InstallerKind::Refused || (kind == InstallerKind::Msi && systemDirectory[0] == 0)) return;

  Writer program = {command.program, 0, true};
  if (kind == InstallerKind::Msi) {
    Append(program, systemDirectory);
    if (program.length > 0 && !IsSeparator(command.program[program.length - 1])) AppendAscii(program, "\\");
    AppendAscii(program, "msiexec.exe");
  } else {
    Append(program, path);
  }
  Writer line = {command.commandLine, 0, true};
  AppendAscii(line, "\"");
  Append(line, command.program);
  AppendAscii(line, "\"");
  if (kind == InstallerKind::Msi) {
    AppendAscii(line, " /i \"");
    Append(line, path);
    AppendAscii(line, "\" /passive");
  }
  if (!program.fits || !line.fits) {
    Refuse(command);
    return;
  }
  command.kind = kind;
}
