// Peers of the lookup benchmark that are compiled apart from it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct PeerValue {
  bool found;               // present and of the wanted type
  bool boolean;             // the value, when a boolean was wanted
  std::string_view string;  // the decoded string, otherwise
};

// simdjson On-Demand: looks keys up, one object level each, in text of
// length bytes followed by at least SIMDJSON_PADDING readable bytes.
PeerValue SimdjsonOnDemandLookup(const char* text, size_t length, const std::vector<const char*>& keys, bool wantBool);

// The kernel that On-Demand was compiled for.
std::string SimdjsonOnDemandKernel();
