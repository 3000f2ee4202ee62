// Same lookups, same outputs: find a value by path in a reply and decode it
// into a 4096-byte buffer, with our reader and with widely used parsers:
// simdjson On-Demand (validates what it touches), simdjson DOM (validates the
// whole text, then looks up), RapidJSON and cJSON. Base64 values are decoded
// with JsonBase64Decode for every reader, since none of the peers decodes
// base64 itself. The instruction set of each reader's kernel goes into the
// output's context ("kernel.<reader>"). --kernel=NAME (portable, sse2, avx2,
// avx512) makes our reader run that kernel instead of the widest one.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <rapidjson/document.h>

#include "bench/json_bench_peers.h"
#include "json/json_decode.h"
#include "json/json_find.h"
#include "json/json_scan.h"
#include "simdjson.h"

namespace {

enum class Want { Bool, String, Base64 };

struct Lookup {
  const char* path;
  std::vector<const char*> keys;
  Want want;
};

const Lookup ResultLookup{"$.responseData.result", {"responseData", "result"}, Want::Bool};
const Lookup ResponseLookup{"$.response", {"response"}, Want::String};
const Lookup KeyLookup{"$.responseData.key", {"responseData", "key"}, Want::Base64};
const Lookup UploadKeyLookup{"$.responseData.uploadKey", {"responseData", "uploadKey"}, Want::Base64};
const Lookup MessageLookup{"$.responseMessage", {"responseMessage"}, Want::String};

struct Input {
  std::string name;
  std::string text;
  simdjson::padded_string padded;  // prepared once: simdjson reads past the end
};

// Decoded result: -1 missing or undecodable, else a decoded length (or 0/1
// for a boolean). Every reader must give the same for the same lookup.
int FinishString(const char* bytes, size_t size, Want want, char* out) {
  if (want == Want::Base64) return JsonBase64Decode(bytes, static_cast<int>(size), out);
  if (size >= static_cast<size_t>(JsonValueBufferSize)) return -1;
  std::memcpy(out, bytes, size);
  out[size] = '\0';
  return static_cast<int>(size);
}

int Ours(const Input& in, const Lookup& lookup, char* out) {
  const char* start = nullptr;
  int length = 0;
  const int kind = JsonFind(in.text.c_str(), static_cast<int>(in.text.size()), lookup.path, &start, &length);
  if (lookup.want == Want::Bool) return kind == static_cast<int>(JsonTokenKind::True) ? 1 : 0;
  if (kind != static_cast<int>(JsonTokenKind::String)) return -1;
  if (lookup.want == Want::Base64) return JsonBase64Decode(start + 1, length - 2, out);
  return JsonUnescape(start + 1, length - 2, out);
}

int SimdjsonOnDemand(const Input& in, const Lookup& lookup, char* out) {
  PeerValue v = SimdjsonOnDemandLookup(in.padded.data(), in.padded.size(), lookup.keys, lookup.want == Want::Bool);
  if (lookup.want == Want::Bool) return v.found ? v.boolean : 0;
  if (!v.found) return -1;
  return FinishString(v.string.data(), v.string.size(), lookup.want, out);
}

int SimdjsonDom(const Input& in, const Lookup& lookup, char* out) {
  static simdjson::dom::parser parser;
  const bool isBool = lookup.want == Want::Bool;
  simdjson::dom::element doc;
  if (parser.parse(in.padded).get(doc)) return isBool ? 0 : -1;
  simdjson::simdjson_result<simdjson::dom::element> value = doc[lookup.keys[0]];
  for (size_t i = 1; i < lookup.keys.size(); ++i) value = value[lookup.keys[i]];
  if (isBool) {
    bool b = false;
    return value.get_bool().get(b) ? 0 : (b ? 1 : 0);
  }
  std::string_view text;
  if (value.get_string().get(text)) return -1;
  return FinishString(text.data(), text.size(), lookup.want, out);
}

int RapidJson(const Input& in, const Lookup& lookup, char* out) {
  // Pooled allocators over local buffers: RapidJSON's fastest set-up.
  static char valueBuffer[1 << 20];
  static char parseBuffer[1 << 16];
  rapidjson::MemoryPoolAllocator<> valueAllocator(valueBuffer, sizeof valueBuffer);
  rapidjson::MemoryPoolAllocator<> parseAllocator(parseBuffer, sizeof parseBuffer);
  typedef rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>,
                                     rapidjson::MemoryPoolAllocator<>>
      Document;
  Document doc(&valueAllocator, sizeof parseBuffer, &parseAllocator);
  doc.Parse(in.text.c_str(), in.text.size());
  const bool isBool = lookup.want == Want::Bool;
  if (doc.HasParseError()) return isBool ? 0 : -1;
  const rapidjson::Value* v = &doc;
  for (const char* key : lookup.keys) {
    if (!v->IsObject()) return isBool ? 0 : -1;
    auto member = v->FindMember(key);
    if (member == v->MemberEnd()) return isBool ? 0 : -1;
    v = &member->value;
  }
  if (isBool) return v->IsTrue() ? 1 : 0;
  if (!v->IsString()) return -1;
  return FinishString(v->GetString(), v->GetStringLength(), lookup.want, out);
}

int CJson(const Input& in, const Lookup& lookup, char* out) {
  cJSON* root = cJSON_ParseWithLength(in.text.c_str(), in.text.size());
  const bool isBool = lookup.want == Want::Bool;
  int result = isBool ? 0 : -1;
  const cJSON* v = root;
  for (const char* key : lookup.keys) v = v ? cJSON_GetObjectItemCaseSensitive(v, key) : nullptr;
  if (v && isBool) result = cJSON_IsTrue(v) ? 1 : 0;
  if (v && !isBool && cJSON_IsString(v))
    result = FinishString(v->valuestring, std::strlen(v->valuestring), lookup.want, out);
  cJSON_Delete(root);
  return result;
}

typedef int (*Reader)(const Input&, const Lookup&, char*);

struct Peer {
  const char* name;
  Reader read;
};
const Peer Readers[] = {{"ours", Ours},
                        {"simdjson", SimdjsonOnDemand},
                        {"simdjson-dom", SimdjsonDom},
                        {"rapidjson", RapidJson},
                        {"cjson", CJson}};

// What each reader's kernel runs on this machine.
void RecordKernels() {
  benchmark::AddCustomContext("kernel.ours", JsonScanKernelName(JsonScanKernelInUse()));
  benchmark::AddCustomContext("kernel.simdjson", SimdjsonOnDemandKernel());
  const simdjson::implementation* dom = simdjson::get_active_implementation();
  benchmark::AddCustomContext("kernel.simdjson-dom", dom->name() + " (" + dom->description() + ")");
  benchmark::AddCustomContext("kernel.rapidjson", "sse2 (RAPIDJSON_SSE2, chosen at compile time)");
  benchmark::AddCustomContext("kernel.cjson", "scalar (no SIMD)");
}

std::string Base64Text(size_t chars, unsigned seed) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s;
  for (size_t i = 0; i < chars; ++i) {
    seed = seed * 1103515245u + 12345u;
    s += alphabet[(seed >> 16) & 63u];
  }
  return s;
}

// Records of mixed members, as a listing in a larger reply would carry.
std::string Records(size_t bytes, int first) {
  std::string s = "[";
  char record[256];
  for (int i = first; s.size() < bytes; ++i) {
    std::snprintf(record, sizeof record,
                  "%s{\"id\":%d,\"name\":\"client-%d\",\"version\":\"3.06.%d\",\"active\":%s,\"score\":%d.%02d,"
                  "\"tags\":[\"alpha\",\"beta\"],\"owner\":null}",
                  s.size() > 1 ? "," : "", i, i, i % 97, i % 3 ? "true" : "false", i % 1000, i % 100);
    s += record;
  }
  return s + "]";
}

std::vector<Input> MakeInputs() {
  std::vector<Input> inputs;
  auto add = [&](const char* name, std::string text) {
    simdjson::padded_string padded(text);
    inputs.push_back(Input{name, std::move(text), std::move(padded)});
  };
  add("validation",
      "{\"response\":\"PASS\",\"responseMessage\":\"Key files are valid\","
      "\"responseData\":{\"result\":true,\"checked\":1733561000}}");
  add("key-reply",
      "{\"response\":\"PASS\",\"responseMessage\":\"Keys issued\",\"responseData\":{\"result\":true,"
      "\"key\":\"" +
          Base64Text(4096, 1) + "\",\"uploadKey\":\"" + Base64Text(4096, 2) + "\"}}");
  const std::string message = "\"responseMessage\":\"The wanted value\"";
  const std::string a = "\"listA\":" + Records(32 * 1024 - 64, 0);
  const std::string b = "\"listB\":" + Records(32 * 1024 - 64, 100000);
  add("64k-start", "{" + message + "," + a + "," + b + "}");
  add("64k-middle", "{" + a + "," + message + "," + b + "}");
  add("64k-end", "{" + a + "," + b + "," + message + "}");
  return inputs;
}

void RunLookup(benchmark::State& state, const Input* in, const Lookup* lookup, Reader read) {
  static char out[JsonValueBufferSize];
  for (auto _ : state) {
    int r = read(*in, *lookup, out);
    benchmark::DoNotOptimize(r);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in->text.size()));
}

// Takes --kernel=NAME out of the arguments and makes that kernel ours; false
// when the kernel is unknown or cannot run here.
bool UseKernelFromArguments(int& argc, char** argv) {
  static const char KernelFlag[] = "--kernel=";
  int kept = 0;
  bool ok = true;
  for (int a = 0; a < argc; ++a) {
    if (std::strncmp(argv[a], KernelFlag, sizeof KernelFlag - 1) != 0) {
      argv[kept++] = argv[a];
      continue;
    }
    int kernel = 0;
    while (kernel < JsonScanKernelCount &&
           std::strcmp(JsonScanKernelName(kernel), argv[a] + sizeof KernelFlag - 1) != 0)
      ++kernel;
    ok = ok && JsonUseScanKernel(kernel) == 0;
  }
  argc = kept;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (!UseKernelFromArguments(argc, argv)) {
    std::fprintf(stderr, "--kernel: no such kernel on this machine\n");
    return 2;
  }
  static std::vector<Input> inputs = MakeInputs();
  struct Case {
    const Input* input;
    const Lookup* lookup;
  };
  std::vector<Case> cases;
  for (const Lookup* l : {&ResultLookup, &ResponseLookup, &KeyLookup, &UploadKeyLookup, &MessageLookup})
    cases.push_back({&inputs[0], l});
  for (const Lookup* l : {&ResultLookup, &ResponseLookup, &KeyLookup, &UploadKeyLookup, &MessageLookup})
    cases.push_back({&inputs[1], l});
  for (size_t i = 2; i < inputs.size(); ++i) cases.push_back({&inputs[i], &MessageLookup});

  // Every reader must agree, byte for byte, before anything is timed.
  static char expected[JsonValueBufferSize], got[JsonValueBufferSize];
  for (const Case& c : cases) {
    const int want = Ours(*c.input, *c.lookup, expected);
    for (const Peer& peer : Readers) {
      std::memset(got, 0, sizeof got);
      const int r = peer.read(*c.input, *c.lookup, got);
      if (r != want || (r > 0 && c.lookup->want != Want::Bool && std::memcmp(got, expected, static_cast<size_t>(r)))) {
        std::fprintf(stderr, "%s disagrees on %s %s: %d against %d\n", peer.name, c.input->name.c_str(), c.lookup->path,
                     r, want);
        return 1;
      }
    }
  }
  for (const Case& c : cases) {
    for (const Peer& peer : Readers) {
      const std::string name = c.input->name + "/" + c.lookup->path + "/" + peer.name;
      benchmark::RegisterBenchmark(name.c_str(), RunLookup, c.input, c.lookup, peer.read);
    }
  }
  RecordKernels();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
