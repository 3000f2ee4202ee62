// simdjson On-Demand is compiled only for the kernel that the compiler's
// target allows (it has no run-time choice), so this file is built for the
// machine the benchmark runs on (-march=native): On-Demand then gets the
// widest kernel the machine has, as the DOM parser does through its own
// run-time choice. The benchmark is built and run on the same machine.
#include "bench/json_bench_peers.h"
#include "simdjson.h"

PeerValue SimdjsonOnDemandLookup(const char* text, size_t length, const std::vector<const char*>& keys, bool wantBool) {
  static simdjson::ondemand::parser parser;
  PeerValue result{false, false, {}};
  simdjson::ondemand::document doc;
  if (parser.iterate(text, length, length + simdjson::SIMDJSON_PADDING).get(doc)) return result;
  simdjson::simdjson_result<simdjson::ondemand::value> value = doc[keys[0]];
  for (size_t i = 1; i < keys.size(); ++i) value = value[keys[i]];
  if (wantBool) {
    result.found = !value.get_bool().get(result.boolean);
  } else {
    result.found = !value.get_string().get(result.string);
  }
  return result;
}

// By name, from this file's own compile-time choice (the inline
// builtin_implementation() may come from another file's copy).
std::string SimdjsonOnDemandKernel() {
  const std::string name = SIMDJSON_STRINGIFY(SIMDJSON_BUILTIN_IMPLEMENTATION);
  const simdjson::implementation* kernel = simdjson::get_available_implementations()[name];
  return kernel ? name + " (" + kernel->description() + ")" : name;
}
