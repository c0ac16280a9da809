// Messages written by mail programs this project did not write (Python's email package
// under every policy, s-nail, mpack, and structures composed after Thunderbird, Outlook,
// Apple Mail and Gmail), saved through the whole library from the scripted POP3 server
// with UTF-8 names (code 72) and attached messages saved whole (code 73). Python's own
// parser names the expectations (mime_corpus.py): every attachment it finds is written
// byte for byte under the name it reports, made safe; the message file keeps the text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mime_support.h"

namespace {

class MimeCorpus : public mt::ManifestTest {};

TEST_F(MimeCorpus, EveryAttachmentPythonFindsIsWrittenUnderItsName) {
    std::string skip;
    const std::vector<mt::Expected> messages = Generate("mime_corpus.py", std::to_string(AttachDir(0).size()), &skip);
    ASSERT_TRUE(skip.empty()) << skip;
    ASSERT_GE(messages.size(), 13u); // the Python and composed sets at least
    size_t files = 0;
    for (const mt::Expected &m : messages) files += m.files.size();
    EXPECT_GE(files, 60u);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_UTF8_NAMES, 1), 1);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SAVE_MESSAGES, 1), 1);
    RetrieveAndCheck(messages);
}

} // namespace
