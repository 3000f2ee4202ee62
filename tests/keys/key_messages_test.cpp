#include "keys/key_messages.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// A request buffer with guard bytes after it, to catch a write past its end.
struct GuardedBody {
  char body[KeyRequestSize];
  char guard[64];
};

void Prepare(GuardedBody& target) {
  std::memset(target.body, '#', sizeof(target.body));
  std::memset(target.guard, 'G', sizeof(target.guard));
}

bool GuardIntact(const GuardedBody& target) {
  for (char c : target.guard) {
    if (c != 'G') return false;
  }
  return true;
}

TEST(KeyRequests, ValidateKeyBodyIsTheTemplateFilledIn) {
  GuardedBody target;
  Prepare(target);
  const int length = BuildValidateKeyRequest("Version 3.06", "10.0.0.5", "d41d8cd98f00b204e9800998ecf8427e",
                                             "900150983cd24fb0d6963f7d28e17f72", target.body);
  const std::string expected =
      "{\"appId\":\"DUREZIR\",\"client_version\":\"Version 3.06\",\"client_ip\":\"10.0.0.5\","
      "\"command\":\"validateKey\",\"md5\":\"d41d8cd98f00b204e9800998ecf8427e\","
      "\"uploadMd5\":\"900150983cd24fb0d6963f7d28e17f72\"}";
  EXPECT_EQ(std::string(target.body), expected);
  EXPECT_EQ(length, static_cast<int>(expected.size()));
}

TEST(KeyRequests, ValidateKeyBodyStaysInsideItsBuffer) {
  GuardedBody target;
  Prepare(target);
  const std::string huge(5000, 'v');
  const int length = BuildValidateKeyRequest(huge.c_str(), "127.0.0.1", "a", "b", target.body);
  EXPECT_EQ(length, KeyRequestSize - 1);
  EXPECT_EQ(target.body[KeyRequestSize - 1], '\0');
  EXPECT_TRUE(GuardIntact(target));
}

struct GetKeyCase {
  const char* name;
  const char* user;
  const char* password;
  const char* userOnWire;
  const char* passwordOnWire;
};

TEST(KeyRequests, GetKeyBodyQuotesAndEscapesTheCredentials) {
  const GetKeyCase cases[] = {
      {"plain", "alice", "secret", "\"alice\"", "\"secret\""},
      {"one leading backslash dropped", "\\alice", "pw", "\"alice\"", "\"pw\""},
      {"of two leading backslashes one is kept", "\\\\alice", "pw", "\"\\\\alice\"", "\"pw\""},
      {"domain-style name unchanged", "CORP\\alice", "pw", "\"CORP\\\\alice\"", "\"pw\""},
      {"lone backslash", "\\", "pw", "\"\"", "\"pw\""},
      {"quote and control bytes escaped", "a\"b", "p\"w\n\t", "\"a\\\"b\"", "\"p\\\"w\\n\\t\""},
      {"non-ASCII passes as raw UTF-8", "j\xc3\xb6rg", "p\xc3\xa4ss", "\"j\xc3\xb6rg\"", "\"p\xc3\xa4ss\""},
      {"backslash inside the password kept", "bob", "\\pw", "\"bob\"", "\"\\\\pw\""},
  };
  for (const GetKeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBody target;
    Prepare(target);
    const int length = BuildGetKeyRequest("Version 3.06", "10.0.0.5", c.user, c.password, target.body);
    const std::string expected = std::string(
                                     "{\"appId\":\"DUREZIR\",\"client_version\":\"Version 3.06\","
                                     "\"client_ip\":\"10.0.0.5\",\"command\":\"getKey\",\"user\":") +
                                 c.userOnWire + ",\"pw\":" + c.passwordOnWire + "}";
    EXPECT_EQ(std::string(target.body), expected);
    EXPECT_EQ(length, static_cast<int>(expected.size()));
  }
}

TEST(KeyRequests, GetKeyBodyIsCutAtItsBuffer) {
  GuardedBody target;
  Prepare(target);
  // Every quote doubles on the wire: far more than the buffer holds.
  const std::string password(1500, '"');
  const int length = BuildGetKeyRequest("Version 3.06", "10.0.0.5", "alice", password.c_str(), target.body);
  EXPECT_EQ(length, KeyRequestSize - 1);
  EXPECT_EQ(std::strlen(target.body), static_cast<size_t>(KeyRequestSize - 1));
  EXPECT_TRUE(GuardIntact(target));
}

struct JudgeCase {
  const char* name;
  const char* reply;
  bool accepted;
};

TEST(ValidateKeyReply, AcceptsOnlyTrueResultWithPass) {
  const JudgeCase cases[] = {
      {"result true, PASS", "{\"responseData\":{\"result\":true},\"response\":\"PASS\"}", true},
      {"response first", "{\"response\":\"PASS\",\"responseData\":{\"result\":true}}", true},
      {"escaped letter", "{\"responseData\":{\"result\":true},\"response\":\"P\\u0041SS\"}", true},
      {"whitespace around", " { \"responseData\" : { \"result\" : true } , \"response\" : \"PASS\" } ", true},
      {"result false", "{\"responseData\":{\"result\":false},\"response\":\"PASS\"}", false},
      {"result the string true", "{\"responseData\":{\"result\":\"true\"},\"response\":\"PASS\"}", false},
      {"result 1", "{\"responseData\":{\"result\":1},\"response\":\"PASS\"}", false},
      {"result null", "{\"responseData\":{\"result\":null},\"response\":\"PASS\"}", false},
      {"no responseData", "{\"response\":\"PASS\"}", false},
      {"no response", "{\"responseData\":{\"result\":true}}", false},
      {"response FAIL", "{\"responseData\":{\"result\":true},\"response\":\"FAIL\"}", false},
      {"lower case pass", "{\"responseData\":{\"result\":true},\"response\":\"pass\"}", false},
      {"trailing space", "{\"responseData\":{\"result\":true},\"response\":\"PASS \"}", false},
      {"longer word", "{\"responseData\":{\"result\":true},\"response\":\"PASSED\"}", false},
      {"NUL after PASS", "{\"responseData\":{\"result\":true},\"response\":\"PASS\\u0000x\"}", false},
      {"response not a string", "{\"responseData\":{\"result\":true},\"response\":1}", false},
      {"bad escape", "{\"responseData\":{\"result\":true},\"response\":\"PA\\qSS\"}", false},
      {"not JSON", "PASS", false},
      {"cut off inside the verdict", "{\"responseData\":{\"result\":true},\"response\":\"PAS", false},
      {"empty text", "", false},
  };
  for (const JudgeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(JudgeValidateKeyReply(c.reply), c.accepted);
  }
  EXPECT_FALSE(JudgeValidateKeyReply(nullptr));
}

struct ReadCase {
  const char* name;
  const char* reply;
  GetKeyVerdict verdict;
  bool hasMessage;
  std::string message;
};

TEST(GetKeyReply, VerdictAndMessage) {
  const ReadCase cases[] = {
      {"unsupported", "{\"response\":\"UNSUPPORTED\"}", GetKeyVerdict::ServerUnsupported, false, ""},
      {"unsupported ignores the message", "{\"response\":\"UNSUPPORTED\",\"responseMessage\":\"x\"}",
       GetKeyVerdict::ServerUnsupported, false, ""},
      {"lower-case unsupported", "{\"response\":\"unsupported\"}", GetKeyVerdict::Rejected, false, ""},
      {"mixed-case unsupported", "{\"response\":\"Unsupported\"}", GetKeyVerdict::Rejected, false, ""},
      {"failure with message", "{\"response\":\"FAIL\",\"responseMessage\":\"Bad password\"}", GetKeyVerdict::Rejected,
       true, "Bad password"},
      {"message decoded", "{\"response\":\"FAIL\",\"responseMessage\":\"line\\none \\u00e9\"}", GetKeyVerdict::Rejected,
       true, "line\none \xe9"},
      {"empty message", "{\"response\":\"FAIL\",\"responseMessage\":\"\"}", GetKeyVerdict::Rejected, true, ""},
      {"message absent", "{\"response\":\"FAIL\"}", GetKeyVerdict::Rejected, false, ""},
      {"message a number", "{\"response\":\"FAIL\",\"responseMessage\":42}", GetKeyVerdict::Rejected, false, ""},
      {"message with bad escape", "{\"response\":\"FAIL\",\"responseMessage\":\"a\\qb\"}", GetKeyVerdict::Rejected,
       false, ""},
      {"no response at all", "{\"responseMessage\":\"Who are you?\"}", GetKeyVerdict::Rejected, true, "Who are you?"},
      {"PASS without keys", "{\"response\":\"PASS\",\"responseMessage\":\"odd\"}", GetKeyVerdict::Rejected, true,
       "odd"},
      {"PASS without upload key", "{\"response\":\"PASS\",\"responseData\":{\"key\":\"YWJj\"}}",
       GetKeyVerdict::Rejected, false, ""},
      {"PASS with a key that is not a string",
       "{\"response\":\"PASS\",\"responseData\":{\"key\":1,\"uploadKey\":\"YWJj\"}}", GetKeyVerdict::Rejected, false,
       ""},
      {"empty text", "", GetKeyVerdict::Rejected, false, ""},
      {"not JSON", "<html>", GetKeyVerdict::Rejected, false, ""},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    GetKeyOutcome outcome;
    ReadGetKeyReply(c.reply, outcome);
    EXPECT_EQ(outcome.verdict, c.verdict);
    EXPECT_EQ(outcome.hasMessage, c.hasMessage);
    if (c.hasMessage) {
      EXPECT_EQ(std::string(outcome.message), c.message);
    }
    if (outcome.verdict != GetKeyVerdict::KeysIssued) {
      EXPECT_EQ(outcome.keyLength, 0);
      EXPECT_EQ(outcome.uploadKeyLength, 0);
    }
  }
  GetKeyOutcome outcome;
  ReadGetKeyReply(nullptr, outcome);
  EXPECT_EQ(outcome.verdict, GetKeyVerdict::Rejected);
  EXPECT_FALSE(outcome.hasMessage);
}

TEST(GetKeyReply, IssuedKeysKeepEveryDecodedByte) {
  GetKeyOutcome outcome;
  ReadGetKeyReply(
      "{\"response\":\"P\\u0041SS\",\"responseData\":{\"result\":false,\"key\":\"a2V5LW9uZQ0KAHRhaWz/\","
      "\"uploadKey\":\"dXBsb2FkAGtleQ==\"}}",
      outcome);
  ASSERT_EQ(outcome.verdict, GetKeyVerdict::KeysIssued);
  EXPECT_EQ(std::string(outcome.key, static_cast<size_t>(outcome.keyLength)), std::string("key-one\r\n\0tail\xff", 15));
  EXPECT_EQ(std::string(outcome.uploadKey, static_cast<size_t>(outcome.uploadKeyLength)),
            std::string("upload\0key", 10));
}

TEST(GetKeyReply, KeyTooLongToDecodeIsRejected) {
  // 5464 base64 characters decode to 4098 bytes: more than a value holds.
  const std::string reply = "{\"response\":\"PASS\",\"responseData\":{\"key\":\"" + std::string(5464, 'Q') +
                            "\",\"uploadKey\":\"YWJj\"},\"responseMessage\":\"too long\"}";
  GetKeyOutcome outcome;
  ReadGetKeyReply(reply.c_str(), outcome);
  EXPECT_EQ(outcome.verdict, GetKeyVerdict::Rejected);
  EXPECT_TRUE(outcome.hasMessage);
  EXPECT_EQ(std::string(outcome.message), "too long");
  EXPECT_EQ(outcome.keyLength, 0);
}

TEST(GetKeyReply, LongestKeysFit) {
  // 5460 base64 characters: 4095 bytes, the most a value holds.
  const std::string key(5460, 'A');
  const std::string reply =
      "{\"response\":\"PASS\",\"responseData\":{\"key\":\"" + key + "\",\"uploadKey\":\"" + key + "\"}}";
  GetKeyOutcome outcome;
  ReadGetKeyReply(reply.c_str(), outcome);
  ASSERT_EQ(outcome.verdict, GetKeyVerdict::KeysIssued);
  EXPECT_EQ(outcome.keyLength, 4095);
  EXPECT_EQ(outcome.uploadKeyLength, 4095);
  EXPECT_EQ(std::string(outcome.key, 4095), std::string(4095, '\0'));
}

}  // namespace
