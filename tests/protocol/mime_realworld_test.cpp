// Messages made by real mailers, saved through the whole library from the scripted POP3
// server: Python's email package (current API and compat32 classes) and mpack(1).
// mime_realworld.py writes the messages, the original attachment bytes and a manifest;
// every attachment file must equal its original byte for byte, the names must stay inside
// the attachment directory, and the message file must hold the text parts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mime_support.h"

namespace {

class MimeRealWorld : public mt::ManifestTest {
  protected:
    // Saves every message into its own attachment directory and checks the results.
    void Check(const std::vector<mt::Expected> &messages) {
        RetrieveAndCheck(messages, [](const mt::Expected &m) {
            std::string list; // the names in the order the message holds them
            for (const auto &f : m.files) list += (list.empty() ? "" : ",") + f.first;
            EXPECT_EQ(mt::SavedList(), list);
        });
        // Only the message files and the attachment directories were written.
        EXPECT_EQ(mt::Listing(out_).size(), 2 * messages.size());
        EXPECT_FALSE(mt::fs::exists(dir_ + "/etc")) << "a name left the attachment directory";
        EXPECT_FALSE(mt::fs::exists(out_ + "/b")) << "a name left the attachment directory";
    }
};

TEST_F(MimeRealWorld, PythonEmailPackageMessages) {
    std::string skip;
    const std::vector<mt::Expected> messages = Generate("mime_realworld.py", "python", &skip);
    ASSERT_TRUE(skip.empty()) << skip;
    ASSERT_EQ(messages.size(), 4u);
    Check(messages);
}

TEST_F(MimeRealWorld, MpackMessages) {
    std::string skip;
    const std::vector<mt::Expected> messages = Generate("mime_realworld.py", "mpack", &skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    ASSERT_EQ(messages.size(), 3u);
    Check(messages);
}

} // namespace
