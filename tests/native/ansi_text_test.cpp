#include <gtest/gtest.h>

#include "common/ansi_text.h"

namespace quarn {
namespace {

using Lines = std::vector<std::string>;

TEST(SplitLines, CrAndCrLfEndALineButALoneLfStays) {
  EXPECT_EQ(SplitLines("a\r\nb\rc"), (Lines{"a", "b", "c"}));
  EXPECT_EQ(SplitLines("a\nb\r\n"), (Lines{"a\nb"}));
  EXPECT_EQ(SplitLines("\n"), (Lines{"\n"}));
  EXPECT_EQ(SplitLines("a\r\r\nb"), (Lines{"a", "", "b"}));
}

TEST(SplitLines, NoLineFollowsTheLastTerminator) {
  EXPECT_EQ(SplitLines(""), Lines{});
  EXPECT_EQ(SplitLines("\r\n"), (Lines{""}));
  EXPECT_EQ(SplitLines("x\r\n"), (Lines{"x"}));
  EXPECT_EQ(SplitLines("x\r"), (Lines{"x"}));
  EXPECT_EQ(SplitLines("\r\n\r\n"), (Lines{"", ""}));
}

TEST(Cp1252, PortugueseTextBecomesSingleBytes) {
  Cp1252Codec c;
  EXPECT_EQ(c.ToAnsi("versão ç É"), "vers\xE3o \xE7 \xC9");
  EXPECT_EQ(c.ToAnsi("€ – “x”"), "\x80 \x96 \x93x\x94");
  EXPECT_EQ(c.FromAnsi("vers\xE3o \x80"), "versão €");
}

TEST(Cp1252, WhatTheCodePageCannotHoldBecomesAQuestionMark) {
  Cp1252Codec c;
  EXPECT_EQ(c.ToAnsi("日本"), "??");
  EXPECT_EQ(c.ToAnsi("\xFF\xFEok"), "??ok");  // malformed UTF-8
  EXPECT_EQ(c.ToAnsi(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Cp1252, EveryByteSurvivesARoundTrip) {
  Cp1252Codec c;
  std::string all;
  for (int b = 0; b < 256; ++b) {
    if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) continue;  // unassigned
    all.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(c.ToAnsi(c.FromAnsi(all)), all);
}

TEST(LowerCase, FoldsAsciiAndLatinLetters) {
  EXPECT_EQ(LowerCase("C:\\Solvane\\Quarn SQL\\ÁÇÃO"), "c:\\solvane\\quarn sql\\áção");
  EXPECT_EQ(LowerCase("×Ö"), "×ö");
}

TEST(JoinPath, OneBackslashBetween) {
  EXPECT_EQ(JoinPath("C:\\a", "b.ini"), "C:\\a\\b.ini");
  EXPECT_EQ(JoinPath("C:\\", "\\ErrorQuarn.ini"), "C:\\ErrorQuarn.ini");
  EXPECT_EQ(JoinPath("C:\\a\\", "Logs\\"), "C:\\a\\Logs\\");
}

}  // namespace
}  // namespace quarn
