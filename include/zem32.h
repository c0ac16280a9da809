/*
 * ZEM32: send mail through SMTP and read, save and delete mail in a POP3 mailbox.
 *
 * Every function returns a signed 32-bit integer: 0 or a positive value on success
 * (a count, a length, a handle or 1), a negative error code on failure. zemErrorText
 * turns a code into its text. Functions that take a channel number first return
 * ZEM_ERR_NOT_ATTACHED (-71) before zemAttach and ZEM_ERR_CHANNEL_RANGE (-73) for a
 * channel outside 0 .. count-1.
 *
 * In the default blocking mode (ZEM_PARAM_AUTO_CALL = 1) a request runs to its end before
 * it returns. With ZEM_PARAM_AUTO_CALL = 0 a request only sets the channel up and returns
 * 0; the application then calls zemDriver(Chan) until it returns 0 (done) or a negative
 * code (failed). Results 9999 and other positive values mean "call again".
 */
#ifndef ZEM32_H
#define ZEM32_H

#include <stdint.h>

#if defined(ZEM_BUILDING)
#define ZEM_API __attribute__((visibility("default")))
#else
#define ZEM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ---------------------------------------------------------------------- */
#define ZEM_VERSION 0x342 /* 3.4.2: major << 8 | minor << 4 | patch */
#define ZEM_BUILD 8

/* ---- Error codes ------------------------------------------------------------------ */
#define ZEM_ERR_SOCKET_CLOSED       (-1)  /* "Socket has been closed." */
#define ZEM_ERR_BLOCKING            (-4)
#define ZEM_ERR_BAD_STATUS_FLAG     (-5)
#define ZEM_ERR_INVALID_SOCKET      (-7)
#define ZEM_ERR_TIMED_OUT           (-8)  /* "Socket timed out." */
#define ZEM_ERR_NO_SOCKADDR         (-9)
#define ZEM_ERR_NO_HOST_NAME        (-12)
#define ZEM_ERR_CANNOT_CREATE_SOCKET (-18)
#define ZEM_ERR_RESPONSE_OVERFLOW   (-31)
#define ZEM_ERR_BAD_CHAR            (-32)
#define ZEM_ERR_NO_WINSOCK          (-34)
#define ZEM_ERR_CANNOT_OPEN_FILE    (-35)
#define ZEM_ERR_CONNECT             (-36)
#define ZEM_ERR_EMPTY_ADDRESS       (-37)
#define ZEM_ERR_FROM_NULL           (-38)
#define ZEM_ERR_MISSING_AT          (-39)
#define ZEM_ERR_MISSING_FROM        (-40)
#define ZEM_ERR_MISSING_LT          (-41)
#define ZEM_ERR_MISSING_GT          (-43)
#define ZEM_ERR_NOT_CONNECTED       (-44)
#define ZEM_ERR_NO_RECIPIENT        (-45)
#define ZEM_ERR_NO_SERVER           (-46)
#define ZEM_ERR_NULL_POINTER        (-47)
#define ZEM_ERR_TO_NULL             (-48)
#define ZEM_ERR_SMTP                (-49) /* "SMTP returned error." */
#define ZEM_ERR_SERVER_MISSING      (-50)
#define ZEM_ERR_READ                (-51)
#define ZEM_ERR_WRITE               (-52)
#define ZEM_ERR_TOO_MANY_AT         (-53)
#define ZEM_ERR_UNEXPECTED_GT       (-54)
#define ZEM_ERR_NO_MEMORY           (-55)
#define ZEM_ERR_BAD_SERVER_NAME     (-56)
#define ZEM_ERR_APOP_TIMESTAMP      (-57)
#define ZEM_ERR_SMTP_ONLY           (-58)
#define ZEM_ERR_POP3_ONLY           (-59)
#define ZEM_ERR_USER_MISSING        (-61)
#define ZEM_ERR_PASSWORD_MISSING    (-62)
#define ZEM_ERR_POP3                (-63) /* "POP3 returned error." */
#define ZEM_ERR_NO_SUCH_MESSAGE     (-64)
#define ZEM_ERR_MISSING_FILENAME    (-65)
#define ZEM_ERR_MISSING_EMAIL_PATH  (-66)
#define ZEM_ERR_CANNOT_CREATE_FILE  (-67)
#define ZEM_ERR_BUFFER_NULL         (-68)
#define ZEM_ERR_BUFFER_SIZE         (-69)
#define ZEM_ERR_MISSING_ATTACH_PATH (-70)
#define ZEM_ERR_NOT_ATTACHED        (-71)
#define ZEM_ERR_ALREADY_ATTACHED    (-72)
#define ZEM_ERR_CHANNEL_RANGE       (-73)
#define ZEM_ERR_MALFORMED_REPLY     (-74) /* "Malformed reply from server." (no three-digit code; the connection is closed) */
#define ZEM_ERR_MESSAGE_TOO_LARGE   (-75) /* "Message exceeds the size limit." (ZEM_PARAM_MAX_MESSAGE_SIZE) */
/* TLS (ZEM_PARAM_TLS): */
#define ZEM_ERR_TLS_HANDSHAKE       (-76) /* "TLS handshake failed." */
#define ZEM_ERR_TLS_UNTRUSTED       (-77) /* "Server certificate not trusted." (reason: zemDebug 52) */
#define ZEM_ERR_TLS_NAME_MISMATCH   (-78) /* "Server certificate does not match the server name." */
#define ZEM_ERR_TLS_NOT_OFFERED     (-79) /* "Server does not offer STARTTLS/STLS." */
#define ZEM_ERR_TLS_INJECTION       (-80) /* "Unexpected data after STARTTLS/STLS." */
#define ZEM_ERR_TLS_LOCAL_FILES     (-81) /* "Cannot use the CA, certificate or key file." */
/* Outgoing mail (zemSendEmail, zemStringParam): */
#define ZEM_ERR_SIZE_LIMIT          (-82) /* "Message exceeds the server's size limit." */
#define ZEM_ERR_ALL_REFUSED         (-83) /* "Every recipient was refused." */
#define ZEM_ERR_CHARSET             (-84) /* "Unknown character set." */
#define ZEM_ERR_TOKEN_TOO_LONG      (-85) /* "OAuth token too long." */
#define ZEM_ERR_IMAP                (-86) /* "IMAP returned error." (NO or BAD; zemErrorText adds the server's text) */
#define ZEM_ERR_IMAP_ONLY           (-87) /* "IMAP function ONLY." */
#define ZEM_ERR_NO_LOGIN            (-88) /* "No usable login offered by the server." (nothing was sent) */
#define ZEM_ERR_NO_MOVE             (-89) /* "Server cannot move only the named messages." (copied, not removed) */
/* Socket codes are the socket error numbers negated (-10000 and below), e.g.: */
#define ZEM_SOCK_WOULD_BLOCK        (-10035)
#define ZEM_SOCK_CONN_RESET         (-10054)
#define ZEM_SOCK_TIMED_OUT          (-10060)
#define ZEM_SOCK_CONN_REFUSED       (-10061)
#define ZEM_SOCK_HOST_NOT_FOUND     (-11001)
#define ZEM_SOCK_TRY_AGAIN          (-11002)
#define ZEM_SOCK_NO_RECOVERY        (-11003)
#define ZEM_SOCK_NO_DATA            (-11004)

/* zemDriver result: no step ran yet, call again. */
#define ZEM_DRIVER_WAIT 9999

/* ---- zemIntegerParam codes -------------------------------------------------------- */
#define ZEM_PARAM_STEP_DELAY        1  /* library: ms before the reply is polled (25) */
#define ZEM_PARAM_REPLY_TIMEOUT     2  /* library: ms to wait for a reply (25000) */
#define ZEM_PARAM_CONNECT_TIMEOUT   3  /* library: ms to wait for the TCP connect (60000) */
#define ZEM_PARAM_DATA_PAUSE        5  /* library: least ms between two data lines (0) */
#define ZEM_PARAM_DATA_TIMEOUTS     6  /* library: sets codes 11 and 12 at once */
#define ZEM_PARAM_BODY_TYPE         8  /* channel: 0 plain, 1 QP, 2 HTML, 3 enriched, 4 latin-1 QP, 9 custom */
#define ZEM_PARAM_AUTO_CALL         9  /* channel: 1 blocking (default), 0 call zemDriver yourself */
#define ZEM_PARAM_NUMBERED_NAMES    10 /* channel: name saved attachments "N-name" */
#define ZEM_PARAM_DATA_TIMEOUT      11 /* library: ms deadline after each data line (25000) */
#define ZEM_PARAM_POP3_DATA_WAIT    12 /* library: ms a POP3 read waits for data (25000) */
#define ZEM_PARAM_POLL_INTERVAL     13 /* library: ms between polls of timed waits (100) */
#define ZEM_PARAM_SAVE_NONAME       14 /* channel: save unnamed base64 parts too */
#define ZEM_PARAM_SMTP_PORT         15 /* channel: SMTP port (25) */
#define ZEM_PARAM_POP3_PORT         16 /* channel: POP3 port (110) */
#define ZEM_PARAM_LINE_LENGTH       17 /* library: maximum text line length; wrap column = value - 18 */
#define ZEM_PARAM_BLOCKING_CONNECT  18 /* channel: non-zero = blocking connect */
#define ZEM_PARAM_PASS_8BIT         19 /* library: send 8-bit plain text unchanged */
#define ZEM_PARAM_NO_SAVED_NOTE     21 /* library: no "[Attachment saved to ...]" line */
#define ZEM_PARAM_OMIT_TO           22 /* library: send no To: header line */
#define ZEM_PARAM_RECIPIENT_SEP     23 /* library: recipient list separator (',') */
#define ZEM_PARAM_SOCKET_CLEANUP    24 /* library: stored, no effect on this platform */
#define ZEM_PARAM_ATTACH_SEP        25 /* library: attachment list separator (',') */
#define ZEM_PARAM_DISPLAY_SEP       26 /* library: "path|shown name" separator ('|') */
#define ZEM_PARAM_INLINE_IMAGES     27 /* channel: send .gif/.bmp/.tif/.jpg inline (1) */
#define ZEM_PARAM_DECODE_STATE      28 /* channel: 1 = save messages raw */
#define ZEM_PARAM_USE_EHLO          29 /* channel: EHLO and authentication */
#define ZEM_PARAM_USE_APOP          30 /* channel: POP3 login with APOP */
/* library: ms slept after a connection closes (500); other channels go on meanwhile. With
 * ZEM_PARAM_AUTO_CALL 0 zemClose waits it out in its last step (zemDriver never sleeps),
 * and a failed request closes without it. */
#define ZEM_PARAM_CLOSE_PAUSE       60
/* library: ms added to the wait after HELO/EHLO, the last AUTH step and PASS/APOP (200) */
#define ZEM_PARAM_LOGIN_PAUSE       61
/* channel: a RETR or TOP whose data passes this many bytes fails with -75 (0 = no limit);
 * a message whose LIST size is known fails past twice that size plus 64 KiB anyway */
#define ZEM_PARAM_MAX_MESSAGE_SIZE  63
/* channel: security of the next connect, one of the ZEM_TLS_ values below */
#define ZEM_PARAM_TLS               64
#define ZEM_TLS_NONE          0 /* plain TCP (default) */
#define ZEM_TLS_STARTTLS      1 /* STARTTLS (SMTP) / STLS (POP3) required, else -79 before any credential */
#define ZEM_TLS_IMPLICIT      2 /* TLS from the first byte (SMTPS 465, POP3S 995) */
#define ZEM_TLS_OPPORTUNISTIC 3 /* STARTTLS/STLS when offered, else plain: UNSAFE, an attacker can strip it */
/* channel: 1 (default) verify the server certificate and its name; 0 do not (logged on every connect) */
#define ZEM_PARAM_TLS_VERIFY        65
/* channel: encoded words in Subject/From lines become UTF-8 text in the message file too */
#define ZEM_PARAM_UTF8_NAMES        72
#define ZEM_PARAM_SAVE_MESSAGES     73 /* channel: also save an attached message/rfc822 whole */
/* channel: 1 = file names from ISO-8859-1 encoded words and unencoded 8-bit names keep
 * their bytes as the message has them, not converted to UTF-8 (default 0) */
#define ZEM_PARAM_8BIT_NAMES        74
/* channel: 1 = a refused RCPT TO does not end the send; the message goes to the accepted
 * recipients and the send fails (-83) only when every one was refused. The refused ones
 * are in zemDebug ZEM_DEBUG_REFUSED and counted by ZEM_STAT_REFUSED. Default 0: the first
 * refusal ends the send with -49. */
#define ZEM_PARAM_CONTINUE_PAST_REFUSED 66
/* channel: 1 (default) = when the server offers PIPELINING (RFC 2920), MAIL FROM, every
 * RCPT TO and DATA go out in one write; 0 = one command per reply. */
#define ZEM_PARAM_PIPELINING        67
/* channel: 1 = declare SIZE=n in MAIL FROM when the server offers SIZE (RFC 1870). The
 * check against the server's announced limit is made whatever this says. Default 0. */
#define ZEM_PARAM_DECLARE_SIZE      68
/* channel: IMAP port; 0 (the default) is 143, or 993 with ZEM_TLS_IMPLICIT */
#define ZEM_PARAM_IMAP_PORT         69
/* library: ms between NOOPs of zemImapIdle on a server without IDLE (30000; at least 100) */
#define ZEM_PARAM_IDLE_POLL         70

/* ---- zemStringParam codes --------------------------------------------------------- */
#define ZEM_STRING_LOG_FILE         20 /* create the channel's log file */
#define ZEM_STRING_WRITE_BUFFER     41 /* write the retrieval buffer to a file and free it */
#define ZEM_STRING_REPLY_TO         50
#define ZEM_STRING_EXTRA_HEADERS    51 /* replace the extra header lines */
#define ZEM_STRING_LOG_TEXT         52 /* write a line into the log */
#define ZEM_STRING_FROM             53
#define ZEM_STRING_CONTENT_TYPE     54 /* library: custom Content-Type line (BodyType 9) */
#define ZEM_STRING_TRANSFER_ENCODING 55 /* library: custom Content-Transfer-Encoding line */
#define ZEM_STRING_ADD_HEADER       56 /* append an extra header line */
#define ZEM_STRING_AUTH_PASSWORD    57
#define ZEM_STRING_USER_NAME        58
/* channel, TLS: PEM files; empty = not used (the system trust store for the CA) */
#define ZEM_STRING_CA_FILE          80
#define ZEM_STRING_CA_DIR           81 /* a hashed directory (openssl rehash) */
#define ZEM_STRING_CLIENT_CERT      82
#define ZEM_STRING_CLIENT_KEY       83 /* empty: the key is in the certificate file */
/* channel: charset of the text part (e.g. "utf-8"): the text is converted to it from the
 * input charset and sent quoted-printable, labelled "charset=NAME"; "" = as described
 * (plain text replaces 8-bit characters by '~'). Returns the length, -84 unknown charset. */
#define ZEM_STRING_TEXT_CHARSET     84
/* channel: charset of the caller's texts (subject, names, lists, text); "" = UTF-8 when
 * valid UTF-8, else ISO-8859-1. Returns the length, -84 unknown charset. */
#define ZEM_STRING_INPUT_CHARSET    85
/* channel: OAuth 2.0 bearer token; when set and the server offers OAUTHBEARER or XOAUTH2
 * (RFC 7628) it is used before the password mechanisms, with ZEM_STRING_USER_NAME as the
 * user. Returns the length, -85 when longer than 4096 characters. */
#define ZEM_STRING_OAUTH_TOKEN      86
/* channel: DSN (RFC 3461) when the server offers it: NOTIFY of every RCPT TO (e.g.
 * "SUCCESS,FAILURE" or "NEVER"), RET of MAIL FROM ("FULL" or "HDRS"), ENVID of MAIL FROM
 * (xtext-encoded when sent). Return the length stored (cut at 64, 4 and 100). */
#define ZEM_STRING_DSN_NOTIFY       87
#define ZEM_STRING_DSN_RET          88
#define ZEM_STRING_DSN_ENVID        89

/* ---- zemDebug indexes ------------------------------------------------------------- */
#define ZEM_DEBUG_MEMORY_CHECK_CHAN (-2) /* as Chan: check every memory block's guards */
#define ZEM_DEBUG_DATE_LINE         (-12)
#define ZEM_DEBUG_LAST_REPLY        23
#define ZEM_DEBUG_SERVER_ADDR       25
#define ZEM_DEBUG_LOCAL_ADDR        28
#define ZEM_DEBUG_SAVED_LIST        29
#define ZEM_DEBUG_LAST_RECIPIENT    30
#define ZEM_DEBUG_RETRIEVAL_BUFFER  40
/* TLS of the last connect: */
#define ZEM_DEBUG_TLS_PROTOCOL      50 /* "TLSv1.3"; empty without TLS */
#define ZEM_DEBUG_TLS_CIPHER        51 /* "TLS_AES_256_GCM_SHA384" */
#define ZEM_DEBUG_TLS_VERIFY        52 /* certificate verification result: "ok" or the reason */
/* The recipients the last send had refused: one "address reply-line" per line, CR LF
 * ended, in the order sent (at most 2,048 characters). */
#define ZEM_DEBUG_REFUSED           55

/* ---- zemStatistics indexes -------------------------------------------------------- */
#define ZEM_STAT_STEP_COUNT         2
#define ZEM_STAT_REPLY_CODE         3
#define ZEM_STAT_LAST_SOCK_CODE     4
#define ZEM_STAT_TEXT_BYTES         10
#define ZEM_STAT_ATTACH_BYTES       11
#define ZEM_STAT_BYTES              12
#define ZEM_STAT_TEXT_BYTES_SENT    13
#define ZEM_STAT_ATTACH_BYTES_SENT  14
#define ZEM_STAT_BYTES_SENT         15
#define ZEM_STAT_VERSION            16
#define ZEM_STAT_MESSAGE_COUNT      17
#define ZEM_STAT_MESSAGE_SIZE       18
#define ZEM_STAT_BUFFER_FILL        19
#define ZEM_STAT_CONNECTION         20
#define ZEM_STAT_ATTACH_SAVED       22
#define ZEM_STAT_VERIFY_RESULT      24
#define ZEM_STAT_BUILD              26
#define ZEM_STAT_SOCKET             27
/* For applications with their own event loop (with ZEM_STAT_SOCKET): */
#define ZEM_STAT_WAIT_READINESS     30 /* what the next step waits for: 1 readable, 2 writable, 0 nothing */
#define ZEM_STAT_MS_TO_NEXT_STEP    31 /* ms until the next step runs anyway; -1 none (no request or no deadline) */
#define ZEM_STAT_WRITE_STALLS       32 /* writes the socket took only in part or not at all, since zemAttach */
#define ZEM_STAT_TLS_ACTIVE         44 /* 1 while the connection runs under TLS */
#define ZEM_STAT_TLS_MODE           45 /* ZEM_PARAM_TLS of the channel */
#define ZEM_STAT_ACCEPTED           40 /* recipients the last send had accepted */
#define ZEM_STAT_REFUSED            41 /* recipients the last send had refused */
#define ZEM_STAT_IMAP_EXISTS        60 /* messages in the selected mailbox (kept by every EXISTS/EXPUNGE) */
#define ZEM_STAT_IMAP_UNSEEN        61 /* first unseen message's sequence number; 0 none */
#define ZEM_STAT_IMAP_STORED        62 /* entries zemImapList/zemImapSearch could store in the caller's buffer */
#define ZEM_STAT_IMAP_IDLE_RESULT   63 /* what the last zemImapIdle returned (EXISTS after a change, 0 none) */
#define ZEM_DEBUG_IMAP_UIDVALIDITY  60 /* of the selected mailbox, decimal */
#define ZEM_DEBUG_IMAP_UIDNEXT      61
#define ZEM_DEBUG_IMAP_HIGHESTMODSEQ 62 /* 0 without CONDSTORE */
#define ZEM_DEBUG_IMAP_CAPABILITY   63 /* the capabilities the client acts on, space-separated */
/* zemImapMailbox operations */
#define ZEM_IMAP_CREATE             1
#define ZEM_IMAP_DELETE             2
#define ZEM_IMAP_RENAME             3
#define ZEM_IMAP_SUBSCRIBE          4
#define ZEM_IMAP_UNSUBSCRIBE        5

/* ---- Lifecycle -------------------------------------------------------------------- */
/* Creates NumChannels (1..128) channels. Returns 1; -72 already attached; -73 more than
 * 128; -55 out of memory. NumChannels 0 returns 1 and leaves the library unattached. */
ZEM_API int32_t zemAttach(int32_t NumChannels, int32_t Reserved);
/* Closes log files and sockets and frees everything. Always 1. */
ZEM_API int32_t zemRelease(void);

/* ---- Errors, parameters, diagnostics ---------------------------------------------- */
/* Copies the text of Code (at most BufLen-1 characters and a NUL); for -36, -49, -63 and -86
 * one space and the channel's last reply follow. Returns the length, 0 for an unknown
 * code, -47 for a null Buffer; -71, -73. */
ZEM_API int32_t zemErrorText(int32_t Chan, int32_t Code, char *Buffer, int32_t BufLen);
/* Sets a numeric parameter (ZEM_PARAM_*). Returns 1, or -1 for an unknown code; -71, -73. */
ZEM_API int32_t zemIntegerParam(int32_t Chan, int32_t Code, int32_t Value);
/* Sets a text parameter (ZEM_STRING_*). Result per code; -71, -73, -47 for a null Text. */
ZEM_API int32_t zemStringParam(int32_t Chan, int32_t Code, const char *Text);
/* Copies a diagnostic text (ZEM_DEBUG_*) into Buffer; Chan -2 checks memory. */
ZEM_API int32_t zemDebug(int32_t Chan, int32_t Index, char *Buffer, int32_t BufLen);
/* Returns one counter or result (ZEM_STAT_*), -1 for an unknown index; -71, -73. */
ZEM_API int32_t zemStatistics(int32_t Chan, int32_t Index);

/* ---- Driver and connection end ---------------------------------------------------- */
/* Runs one step: 9999 wait, 0 idle/done, >0 next state, <0 failed (socket closed). */
ZEM_API int32_t zemDriver(int32_t Chan);
/* Sends QUIT, reads the reply, closes the socket and frees the request buffers.
 * Returns 0 or a negative code (-52 when the connection was already closed). */
ZEM_API int32_t zemClose(int32_t Chan);
/* Closes the socket at once without QUIT. Returns 1; -71, -73. */
ZEM_API int32_t zemAbort(int32_t Chan);
/* For one thread driving many channels with ZEM_PARAM_AUTO_CALL 0: sleeps in one poll over
 * the sockets and wake times of every channel with a request under way, until one of them
 * can make progress or Milliseconds pass. Returns the count of channels whose next
 * zemDriver call can make progress (0 when the time passed or none is busy); -71 before
 * zemAttach. Call zemDriver for every busy channel after it returns. */
ZEM_API int32_t zemWaitAny(int32_t Milliseconds);

/* ---- SMTP ------------------------------------------------------------------------- */
/* Connects, reads the greeting, sends HELO (or EHLO and authenticates when
 * ZEM_PARAM_USE_EHLO is set). From must hold "<address>". Returns 0; -50, -38, -56, -37,
 * -41, -43, -32, and the connection codes (-46, -36, -8, -49, ...). */
ZEM_API int32_t zemSmtpConnect(int32_t Chan, const char *Server, const char *From, const char *ReplyTo);
/* VRFY for each address of the list. Returns 1 when the last address was accepted
 * (250), else 0; -58, -45, -55, -32. */
ZEM_API int32_t zemVerifyUser(int32_t Chan, const char *Addresses);
/* Sends one message. Lists are separated by ZEM_PARAM_RECIPIENT_SEP; Message starting
 * with '@' names a text file; Attachments is a list of "path" or "path|shown name".
 * Returns 0 when the server accepted the message; -58, -44, -45, -37, -41, -43, -32, -55,
 * -40, -32 (a non-ASCII address and no SMTPUTF8 offer), -82 (larger than the server's SIZE
 * limit; nothing sent), -35, -49, -83 (every recipient refused, with
 * ZEM_PARAM_CONTINUE_PAST_REFUSED), -52, -8.
 * Non-ASCII subject, display names and extra header values go out as RFC 2047 encoded
 * words (UTF-8), non-ASCII attachment names as RFC 2231 filename* with an encoded name=.
 * Every message carries a Message-ID of its own. */
ZEM_API int32_t zemSendEmail(int32_t Chan, const char *To, const char *CC, const char *BCC,
                             const char *Subject, const char *Message, const char *Attachments);
/* Sends the ready-made RFC 5322 message in the file FileName as it stands: its own header
 * lines and body, nothing added or removed (a Bcc line in the file is sent; remove it
 * first). The envelope is that of zemSendEmail: MAIL FROM with the sender of
 * zemSmtpConnect, one RCPT TO per address of To, then CC, then BCC (lists separated by
 * ZEM_PARAM_RECIPIENT_SEP; any of them may be NULL or empty, not all), DATA. The file is
 * sent with CR LF line ends (a lone LF or CR ends a line too), a second '.' before every
 * line that starts with '.', and a line end after a last line without one; then ".".
 * Returns 0 when the server accepted the message; -58, -44, -65 (no FileName), -45,
 * -37, -41, -43, -32, -55, -35 (the file cannot be opened), -40, -49, -52, -8. */
ZEM_API int32_t zemSendMessageFile(int32_t Chan, const char *To, const char *CC, const char *BCC,
                                   const char *FileName);

/* ---- POP3 ------------------------------------------------------------------------- */
/* Logs in with USER/PASS (or APOP). Returns 0; -50, -61, -62, -56, -57, -63, and the
 * connection codes. */
ZEM_API int32_t zemPop3Connect(int32_t Chan, const char *Server, const char *User, const char *Password);
/* STAT: the number of messages (0 when refused); -59. */
ZEM_API int32_t zemGetEmailCount(int32_t Chan);
/* LIST Msg: the size in bytes (0 when refused); -59, -64. */
ZEM_API int32_t zemGetEmailSize(int32_t Chan, int32_t Msg);
/* UIDL Msg (Msg < 1: the whole listing) into Buffer (Size >= 128). Returns the length of
 * the text; -59, -68, -69. */
ZEM_API int32_t zemGetEmailUID(int32_t Chan, int32_t Msg, char *Buffer, int32_t Size);
/* DELE Msg. Returns 0 once the reply was read (refusals are not reported); -59, -64. */
ZEM_API int32_t zemDeleteEmail(int32_t Chan, int32_t Msg);
/* Sends one command line (at most 32 characters) and checks the reply. Returns 0; -47,
 * -56 (channel not connected), -49, -63. */
ZEM_API int32_t zemCommand(int32_t Chan, const char *Command);
/* TOP Msg Lines into Buffer (Size >= 128), or into library memory when Buffer is NULL
 * or "*". Returns the bytes stored (no NUL added); -59, -64, -69, -55, -63. */
ZEM_API int32_t zemGetEmailLines(int32_t Chan, int32_t Msg, int32_t Lines, char *Buffer, int32_t Size);
/* RETR Msg into MessageDir/FileName, decoding attachments into AttachmentDir (unless
 * ZEM_PARAM_DECODE_STATE is 1). Returns 0; -59, -64, -65, -66, -70, -67, -63, -8, -1. */
ZEM_API int32_t zemGetEmailFile(int32_t Chan, int32_t Msg, const char *FileName,
                                const char *MessageDir, const char *AttachmentDir);

/* ---- IMAP ------------------------------------------------------------------------- */
/* Connects to ZEM_PARAM_IMAP_PORT (143; 993 with ZEM_TLS_IMPLICIT and the port left at 0)
 * and logs in: AUTHENTICATE XOAUTH2/OAUTHBEARER with ZEM_STRING_OAUTH_TOKEN, else the
 * strongest offered of CRAM-MD5 and PLAIN, else LOGIN (never PLAIN or LOGIN under
 * LOGINDISABLED); ENABLE UTF8=ACCEPT when offered. Returns 0; -50, -61, -62, -56, -88,
 * -86, -79, the TLS and connection codes. */
ZEM_API int32_t zemImapConnect(int32_t Chan, const char *Server, const char *User, const char *Password);
/* LIST "" Pattern (RETURN (SPECIAL-USE) when offered) into Buffer: one "name<TAB>attributes"
 * line per mailbox, names in UTF-8. Returns the number of mailboxes (all of them, also when
 * Buffer held fewer: ZEM_STAT_IMAP_STORED); -87, -68, -86. */
ZEM_API int32_t zemImapList(int32_t Chan, const char *Pattern, char *Buffer, int32_t Size);
/* SELECT Mailbox (EXAMINE when ReadOnly). Returns the number of messages; -87, -86. */
ZEM_API int32_t zemImapSelect(int32_t Chan, const char *Mailbox, int32_t ReadOnly);
/* UID SEARCH Criteria (IMAP syntax; CHARSET UTF-8 when it holds 8-bit text) into Buffer as
 * UIDs separated by spaces. Returns the count of all UIDs found (ZEM_STAT_IMAP_STORED: how
 * many Buffer holds); -87, -68, -86. */
ZEM_API int32_t zemImapSearch(int32_t Chan, const char *Criteria, char *Buffer, int32_t Size);
/* UID FETCH Uid BODY.PEEK[] into MessageDir/FileName, decoded as zemGetEmailFile does.
 * Returns 0; -87, -64 (no such UID), -65, -66, -70, -67, -75, -86. */
ZEM_API int32_t zemImapFetchFile(int32_t Chan, uint32_t Uid, const char *FileName, const char *MessageDir,
                                 const char *AttachmentDir);
/* UID FETCH Uid BODY.PEEK[HEADER] into Buffer (NUL added). Returns the bytes stored;
 * -87, -68, -69, -64, -86. */
ZEM_API int32_t zemImapFetchHeader(int32_t Chan, uint32_t Uid, char *Buffer, int32_t Size);
/* UID STORE UidSet +FLAGS.SILENT / -FLAGS.SILENT / FLAGS.SILENT (Flags starting with '+',
 * '-' or neither), e.g. "+\Seen \Flagged". Returns 0; -87, -47, -86. */
ZEM_API int32_t zemImapStore(int32_t Chan, const char *UidSet, const char *Flags);
/* UID COPY, or with Move UID MOVE (else COPY, +FLAGS \Deleted and UID EXPUNGE of the set
 * with UIDPLUS). Returns the first new UID (COPYUID) or 0; -87, -47, -86, -89. */
ZEM_API int32_t zemImapCopy(int32_t Chan, const char *UidSet, const char *Mailbox, int32_t Move);
/* UID EXPUNGE UidSet (UIDPLUS), or EXPUNGE when UidSet is NULL. Returns 0; -87, -86, -89. */
ZEM_API int32_t zemImapExpunge(int32_t Chan, const char *UidSet);
/* APPEND of a message file as it stands (its line ends made CR LF) with Flags (may be
 * NULL). Returns the new UID (APPENDUID) or 0; -87, -65, -35, -86. */
ZEM_API int32_t zemImapAppend(int32_t Chan, const char *Mailbox, const char *FileName, const char *Flags);
/* Op ZEM_IMAP_CREATE, _DELETE, _RENAME (to NewName), _SUBSCRIBE, _UNSUBSCRIBE. Returns 0;
 * -87, -47, -5 (unknown Op), -86. */
ZEM_API int32_t zemImapMailbox(int32_t Chan, int32_t Op, const char *Name, const char *NewName);
/* IDLE on the selected mailbox until the server reports a change (EXISTS, EXPUNGE, FETCH)
 * or Milliseconds pass (0 or less: until a change), then DONE; renewed before 29 minutes;
 * NOOP every ZEM_PARAM_IDLE_POLL ms where the server has no IDLE. Returns the number of
 * messages after a change, 0 when the time passed; -87, -86, -1. */
ZEM_API int32_t zemImapIdle(int32_t Chan, int32_t Milliseconds);

/* ---- Codecs and text -------------------------------------------------------------- */
/* Base64 in lines of 76 characters, each followed by CR LF. Returns the characters
 * written (4*ceil(n/3) + 2*ceil(n/57)); -47 for a null pointer. */
ZEM_API int32_t zemEncodeBuffer(const char *Input, char *Output, int32_t Length);
/* Decodes base64 lines (CR LF, CR or LF separated). Output needs the decoded size + 4.
 * Returns the bytes decoded; -47 for a null pointer. */
ZEM_API int32_t zemDecodeBuffer(const char *Input, char *Output, int32_t Length);
/* Checks the form of the first address of a list: 1 valid; -47, -37, -41, -43, -53,
 * -32, -39. */
ZEM_API int32_t zemVerifyFormat(const char *Address);
/* Copies the line of Buffer that starts where Text is found (ignoring case). Returns
 * the characters copied, 0 when not found or when the line does not fit. */
ZEM_API int32_t zemExtractText(const char *Buffer, const char *Text, char *Result, int32_t ResultLen);
/* Copies line LineNo (from 1) of Buffer. Returns the characters copied or 0. */
ZEM_API int32_t zemExtractLine(const char *Buffer, int32_t LineNo, char *Result, int32_t ResultLen);

#ifdef __cplusplus
}
#endif

#endif /* ZEM32_H */
