// Network port URLs and the name map file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/NetNames.h"
#include "serial/NetPort.h"

namespace {

TEST(NetUrl, TakesBothSchemesHostNamesIPv4AndIPv6InBrackets) {
  NetAddress a;
  ASSERT_TRUE(ParseNetUrl("rfc2217://bench3:3333", a));
  EXPECT_EQ(a.kind, NetAddress::Kind::Rfc2217);
  EXPECT_EQ(a.host, "bench3");
  EXPECT_EQ(a.port, 3333);
  ASSERT_TRUE(ParseNetUrl("SOCKET://192.168.7.20:3334/", a));
  EXPECT_EQ(a.kind, NetAddress::Kind::Raw);
  EXPECT_EQ(a.host, "192.168.7.20");
  ASSERT_TRUE(ParseNetUrl("rfc2217://[fe80::1%eth0]:65535", a));
  EXPECT_EQ(a.host, "fe80::1%eth0");
  EXPECT_EQ(a.port, 65535);
  EXPECT_TRUE(IsNetUrl("Rfc2217://x:1"));
  EXPECT_FALSE(IsNetUrl("COM40"));

  std::string why;
  for (const char* bad : {"rfc2217://::1:3333", "rfc2217://host", "rfc2217://:3333",
                          "rfc2217://host:0", "rfc2217://host:65536", "rfc2217://host:33a",
                          "rfc2217://[::1]3333", "rfc2217://[::1", "rfc2217://h st:1",
                          "telnet://host:23", "socket://host:3333/x"}) {
    EXPECT_FALSE(ParseNetUrl(bad, a, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

TEST(NetNameMap, ReadsNameEqualsUrlAndNamesEveryLineItCannotUse) {
  std::vector<std::string> problems;
  const auto entries = ParseNetNameMap(
      "# bench 3\n"
      "COM40 = rfc2217://bench3:3333\r\n"
      "  COM41=socket://[::1]:3334  \n"
      "\n"
      "COM40 = socket://other:1\n"
      "com42 = rfc2217://x:1\n"
      "COM043 = rfc2217://x:1\n"
      "COM44 rfc2217://x:1\n"
      "COM45 = ftp://x:1\n",
      "map", &problems);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "COM40");
  EXPECT_EQ(entries[0].url, "rfc2217://bench3:3333");
  EXPECT_EQ(entries[1].name, "COM41");
  EXPECT_EQ(entries[1].url, "socket://[::1]:3334");
  ASSERT_EQ(problems.size(), 5u);
  EXPECT_EQ(problems[0], "map:5: COM40 is named twice; the first line counts");
  EXPECT_EQ(problems[1], "map:6: \"com42\" is not a COM name such as COM40");
  EXPECT_EQ(problems[2], "map:7: \"COM043\" is not a COM name such as COM40");
  EXPECT_EQ(problems[3], "map:8: not NAME = URL");
  EXPECT_EQ(problems[4].rfind("map:9: \"ftp://x:1\": ", 0), 0u) << problems[4];
}

}  // namespace
