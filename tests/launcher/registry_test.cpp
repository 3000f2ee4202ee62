#include "sys/registry.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

// A scratch key of our own under HKCU, made afresh for each test.
class RegistryStringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TollburyTest");
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\TollburyTest", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key_, nullptr));
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TollburyTest");
  }
  void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size));
  }
  HKEY key_ = nullptr;
};

TEST_F(RegistryStringTest, ResultTable) {
  const wchar_t text[] = L"hello";
  Set(L"text", REG_SZ, text, sizeof(text));
  Set(L"empty", REG_SZ, L"", 0);
  const wchar_t unterminated[] = {L'a', L'b', L'c'};
  Set(L"unterminated", REG_SZ, unterminated, sizeof(unterminated));
  const DWORD number = 7;
  Set(L"dword", REG_DWORD, &number, sizeof(number));
  Set(L"expand", REG_EXPAND_SZ, text, sizeof(text));
  Set(L"multi", REG_MULTI_SZ, L"a\0b\0", 5 * sizeof(wchar_t));
  const unsigned char odd[] = {'x', 0, 'y'};
  Set(L"odd", REG_SZ, odd, sizeof(odd));

  struct Case {
    const wchar_t* name;
    HRESULT result;
    const wchar_t* text;  // null: no text expected
  } cases[] = {
      {L"text", S_OK, L"hello"},
      {L"empty", S_OK, L""},
      {L"unterminated", S_OK, L"abc"},
      {L"odd", S_OK, L"x"},
      {L"dword", DISP_E_TYPEMISMATCH, nullptr},
      {L"expand", DISP_E_TYPEMISMATCH, nullptr},
      {L"multi", DISP_E_TYPEMISMATCH, nullptr},
      {L"missing", static_cast<HRESULT>(0x80070002), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "value " << std::wstring(c.name).c_str());
    wchar_t* out = reinterpret_cast<wchar_t*>(1);
    EXPECT_EQ(c.result, ReadRegistryString(key_, c.name, &out));
    if (c.text == nullptr) {
      EXPECT_EQ(nullptr, out);
    } else {
      ASSERT_NE(nullptr, out);
      EXPECT_STREQ(c.text, out);
      std::free(out);
    }
  }
}

TEST_F(RegistryStringTest, DwordResultTable) {
  const DWORD seven = 7, zero = 0;
  const unsigned long long wide = 7;
  Set(L"seven", REG_DWORD, &seven, sizeof(seven));
  Set(L"zero", REG_DWORD, &zero, sizeof(zero));
  Set(L"short", REG_DWORD, &seven, 2);
  Set(L"long", REG_DWORD, &wide, sizeof(wide));
  Set(L"big endian", REG_DWORD_BIG_ENDIAN, &seven, sizeof(seven));
  Set(L"text", REG_SZ, L"1", 2 * sizeof(wchar_t));  // four bytes, like a DWORD
  struct Case {
    HKEY key;
    const wchar_t* name;
    HRESULT result;
    DWORD value;
  } cases[] = {
      {key_, L"seven", S_OK, 7},
      {key_, L"zero", S_OK, 0},
      {key_, L"short", DISP_E_TYPEMISMATCH, 0},
      {key_, L"long", static_cast<HRESULT>(0x800700EA), 0},
      {key_, L"big endian", DISP_E_TYPEMISMATCH, 0},
      {key_, L"text", DISP_E_TYPEMISMATCH, 0},
      {key_, L"missing", static_cast<HRESULT>(0x80070002), 0},
      {nullptr, L"seven", E_INVALIDARG, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "value " << std::wstring(c.name).c_str());
    DWORD out = 99;
    EXPECT_EQ(c.result, ReadRegistryDword(c.key, c.name, &out));
    EXPECT_EQ(c.value, out);
  }
  EXPECT_EQ(E_INVALIDARG, ReadRegistryDword(key_, L"seven", nullptr));
}

TEST_F(RegistryStringTest, InvalidArguments) {
  wchar_t* out = reinterpret_cast<wchar_t*>(1);
  EXPECT_EQ(E_INVALIDARG, ReadRegistryString(nullptr, L"text", &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_INVALIDARG, ReadRegistryString(key_, L"text", nullptr));
}

TEST_F(RegistryStringTest, LongValueIsReadWhole) {
  std::wstring longText(20000, L'q');
  Set(L"long", REG_SZ, longText.c_str(), static_cast<DWORD>((longText.size() + 1) * sizeof(wchar_t)));
  wchar_t* out = nullptr;
  ASSERT_EQ(S_OK, ReadRegistryString(key_, L"long", &out));
  EXPECT_EQ(longText, out);
  std::free(out);
}

}  // namespace
