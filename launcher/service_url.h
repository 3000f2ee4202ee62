#pragma once
// The service URL of a session's "Server" value; needs no Windows header.
#include "sys/limits.h"
#include "sys/wide_char.h"

// Turns a "Server" value into an https URL. Returns false, with an empty
// URL, when the result would not fit.
bool FormServiceUrl(const WideChar* server, WideChar (&serviceUrl)[ServiceUrlSize]);
