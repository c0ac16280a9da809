// The mechanism choice on its own (the messages are checked byte for byte in the SMTP
// AUTH conversations).
#include <gtest/gtest.h>

#include <string>

#include "sasl/sasl.h"

namespace {

uint32_t Offered(const std::string &list) { return zem::SaslOfferedMechanisms(list.data(), list.data() + list.size()); }

TEST(Sasl, OffersAreWholeWordsInAnyCase) {
    EXPECT_EQ(Offered("PLAIN  login xoauth2 OAUTHBEARER"), zem::kSaslPlain | zem::kSaslLogin | zem::kSaslXoauth2 | zem::kSaslOauthBearer);
    EXPECT_EQ(Offered("XOAUTH2X PLAINS CRAM-MD5-X GSSAPI"), 0u);
    EXPECT_EQ(Offered(""), 0u);
}

TEST(Sasl, PreferenceDoesNotFollowTheOrderOfTheOffer) {
    EXPECT_EQ(zem::SaslPasswordMechanism("250-x\r\n250 AUTH PLAIN LOGIN CRAM-MD5\r\n"), zem::kSaslCramMd5);
    EXPECT_EQ(zem::SaslPasswordMechanism("250 AUTH=LOGIN\r\n250 AUTH PLAIN =LOGIN\r\n"), zem::kSaslLogin);
    EXPECT_EQ(zem::SaslPasswordMechanism("250 AUTH GSSAPI\r\n"), zem::kSaslNone);
    EXPECT_EQ(zem::SaslPasswordMechanism("250 SIZE 100\r\n"), zem::kSaslNone);
    EXPECT_EQ(zem::SaslBearerMechanism(zem::kSaslXoauth2 | zem::kSaslOauthBearer, true), zem::kSaslOauthBearer);
    EXPECT_EQ(zem::SaslBearerMechanism(zem::kSaslXoauth2, true), zem::kSaslXoauth2);
    EXPECT_EQ(zem::SaslBearerMechanism(zem::kSaslXoauth2, false), zem::kSaslNone);
}

TEST(Sasl, MessagesStayWithinTheirRoom) {
    uint8_t out[8];
    EXPECT_EQ(zem::SaslPlainMessage("", "user", "password", out, sizeof out), 8);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 8), std::string("\0user\0pa", 8));
    uint8_t bearer[128];
    const int32_t n = zem::SaslOauthBearerMessage("a=b,c", "h", 25, "T", bearer, sizeof bearer);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bearer), static_cast<size_t>(n)),
              "n,a=a=3Db=2Cc,\x01host=h\x01port=25\x01" "auth=Bearer T\x01\x01");
}

} // namespace
