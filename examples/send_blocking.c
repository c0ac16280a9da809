/*
 * send_blocking.c: send one message with an attachment in blocking mode.
 *
 * In the default blocking mode every request runs to its end before it returns, so a
 * program is a plain sequence of calls: attach, connect, send, close, release.
 *
 * Settings come from the environment (defaults in brackets):
 *   ZEM_SMTP_HOST [127.0.0.1]   ZEM_SMTP_PORT [25]
 *   ZEM_SMTP_USER, ZEM_SMTP_PASSWORD   authenticate when set
 *   ZEM_MAIL_FROM [alice@zem.test]     ZEM_MAIL_TO [bob@zem.test]
 *   ZEM_ATTACH                         a file to attach (none when unset)
 *
 * Build: cc send_blocking.c $(pkg-config --cflags --libs zem32) -o send_blocking
 */
#include <stdio.h>
#include <stdlib.h>

#include <zem32.h>

static const char *env(const char *name, const char *fallback) {
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

/* Prints a failed call's code, its text and the server's last reply. */
static void report(const char *what, int32_t code) {
    char text[256], reply[256];
    zemErrorText(0, code, text, sizeof text);
    if (zemDebug(0, ZEM_DEBUG_LAST_REPLY, reply, sizeof reply) <= 0) reply[0] = '\0';
    fprintf(stderr, "%s failed: %d %s\n  last reply: %s\n", what, code, text, reply);
}

int main(void) {
    const char *host = env("ZEM_SMTP_HOST", "127.0.0.1");
    const char *user = env("ZEM_SMTP_USER", NULL);
    const char *password = env("ZEM_SMTP_PASSWORD", "");
    const char *attach = env("ZEM_ATTACH", "");
    char from[160], to[160];
    int32_t rc;

    /* Addresses go to the library in angle brackets. */
    snprintf(from, sizeof from, "<%s>", env("ZEM_MAIL_FROM", "alice@zem.test"));
    snprintf(to, sizeof to, "<%s>", env("ZEM_MAIL_TO", "bob@zem.test"));

    /* One channel is enough for one connection. */
    if (zemAttach(1, 0) != 1) return 1;
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, atoi(env("ZEM_SMTP_PORT", "25")));

    /* Authentication needs EHLO; the library picks CRAM-MD5, LOGIN or PLAIN,
     * whichever the server offers first in that order of preference. */
    if (user) {
        zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
        zemStringParam(0, ZEM_STRING_USER_NAME, user);
        zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, password);
    }

    /* Connect: greeting, HELO/EHLO and, when set up above, AUTH. */
    rc = zemSmtpConnect(0, host, from, "");
    if (rc < 0) {
        report("zemSmtpConnect", rc);
        zemRelease();
        return 3;
    }

    /* Send: the attachment list holds "path" or "path|shown name" items. */
    rc = zemSendEmail(0, to, "", "", "Hello from send_blocking",
                      "This message was sent in blocking mode.\r\nRegards\r\n", attach);
    if (rc < 0) {
        report("zemSendEmail", rc);
        zemRelease();
        return 4;
    }
    printf("sent %d bytes to %s\n", zemStatistics(0, ZEM_STAT_BYTES_SENT), to);

    /* QUIT, then release every channel. */
    zemClose(0);
    zemRelease();
    return 0;
}
