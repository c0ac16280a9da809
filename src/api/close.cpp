// zemClose: the files a retrieval left open are closed, then the connection is ended the
// way its protocol ends it (state 258 onwards) and the channel's blocks are freed.
#include "compose/composer.h"
#include "driver/step.h"
#include "imap/session.h"
#include "mime/message_file.h"
#include "zem32.h"

using namespace zem;

extern "C" ZEM_API int32_t zemClose(int32_t Chan) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    LogRequest(*ch, "zemClose");
    CloseAttachmentFile(*ch);
    CloseMessageFile(*ch);
    CloseSendFile(*ch);
    StartRequest(*ch, ch->Protocol == 'I' ? kImapLogoutState : 258, 1);
    if (ch->AutoCall == 0) return 0;
    int32_t r = RunToEnd(*ch);
    FreeMemory(Chan, 1, 9);
    ch->Protocol = 0;
    return r;
}
