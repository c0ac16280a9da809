// The small pieces under TLS and IPv6: the STARTTLS keyword in an EHLO reply, literal
// IPv6 addresses and their text form, and the address list of a name.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "smtp/session.h"

namespace {

TEST(OffersStartTls, OnlyTheKeywordOfAReplyLineCounts) {
    EXPECT_TRUE(zem::OffersStartTls("250-mail.test\r\n250-STARTTLS\r\n250 SIZE 100\r\n"));
    EXPECT_TRUE(zem::OffersStartTls("250-mail.test\r\n250 starttls\r\n"));
    EXPECT_TRUE(zem::OffersStartTls("250 STARTTLS"));
    EXPECT_FALSE(zem::OffersStartTls("250-mail.test\r\n250 AUTH STARTTLS\r\n"));  // a word, not the keyword
    EXPECT_FALSE(zem::OffersStartTls("250-mail.test STARTTLS\r\n250 SIZE\r\n"));  // the greeting text
    EXPECT_FALSE(zem::OffersStartTls("250-STARTTLSX\r\n250 ok\r\n"));
    EXPECT_FALSE(zem::OffersStartTls(""));
}

TEST(Ipv6Literal, WithAndWithoutBracketsAndTextForm) {
    zem::NetAddress a{};
    ASSERT_EQ(zem::ParseIPv6Literal("::1", &a), 1);
    EXPECT_EQ(a.family, 6);
    EXPECT_EQ(a.bytes[15], 1);
    ASSERT_EQ(zem::ParseIPv6Literal("[2001:db8::25]", &a), 1);
    char text[64];
    EXPECT_EQ(zem::FormatNetAddress(a, text, sizeof text), 12);
    EXPECT_STREQ(text, "2001:db8::25");
    EXPECT_EQ(zem::FormatNetAddress(a, text, 12), 0) << "no room for the NUL";
    EXPECT_EQ(zem::ParseIPv6Literal("127.0.0.1", &a), 0);
    EXPECT_EQ(zem::ParseIPv6Literal("[::1", &a), 0);
    EXPECT_EQ(zem::ParseIPv6Literal("[]", &a), 0);
    EXPECT_EQ(zem::ParseIPv6Literal("mail.example.org", &a), 0);
}

TEST(LookupHostAll, LoopbackNamesAndLiterals) {
    zem::NetAddress list[8];
    int32_t n = zem::LookupHostAll("127.0.0.1", list, 8);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(list[0].family, 4);
    EXPECT_EQ(list[0].bytes[0], 127);
    n = zem::LookupHostAll("localhost", list, 8);
    ASSERT_GE(n, 1);
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = i + 1; j < n; ++j)
            EXPECT_FALSE(list[i].family == list[j].family && std::memcmp(list[i].bytes, list[j].bytes, 16) == 0)
                << "duplicates are dropped";
    EXPECT_LT(zem::LookupHostAll("no-such-host.invalid", list, 8), 0);
}

} // namespace
