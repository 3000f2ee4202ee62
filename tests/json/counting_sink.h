#pragma once
// A sink for the JSON writer that records what the engine hands it, call by
// call. Shared by the writer's tests and its fuzz target.

#include <string>

struct Counting {
  std::string text;
  int calls = 0;
  static int Write(const char* bytes, int count, void* self) {
    Counting* c = static_cast<Counting*>(self);
    ++c->calls;
    c->text.append(bytes, static_cast<size_t>(count));
    return count;
  }
};
