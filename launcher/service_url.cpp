#include "launcher/service_url.h"

namespace {

// Case matters: "HTTP://host" is no scheme of ours and gets one in front.
bool StartsWith(const WideChar* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix)
    if (*text != static_cast<unsigned char>(*prefix)) return false;
  return true;
}

}  // namespace

// "https..." is taken as it is, "http..." gets its "s" after "http", which
// turns http:// into https://, and anything else gets "https://" in front.
bool FormServiceUrl(const WideChar* server, WideChar (&serviceUrl)[ServiceUrlSize]) {
  const char* scheme = "https://";
  if (StartsWith(server, "https")) {
    scheme = "";
  } else if (StartsWith(server, "http")) {
    scheme = "https";
    server += 4;
  }
  int length = 0;
  for (; *scheme != '\0'; ++scheme) serviceUrl[length++] = static_cast<unsigned char>(*scheme);
  for (; *server != 0; ++server) {
    if (length == ServiceUrlSize - 1) {
      serviceUrl[0] = 0;
      return false;
    }
    serviceUrl[length++] = *server;
  }
  serviceUrl[length] = 0;
  return true;
}
