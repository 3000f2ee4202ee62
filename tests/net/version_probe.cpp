// Writes this program's client version text, as raw bytes, to the file named
// by its first argument.
#include <cstdio>
#include <cstring>

#include "net/identity.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  char versionText[ClientTextSize];
  GetClientVersionString(versionText);
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) return 3;
  const size_t length = std::strlen(versionText);
  const bool written = std::fwrite(versionText, 1, length, out) == length;
  return std::fclose(out) == 0 && written ? 0 : 4;
}
