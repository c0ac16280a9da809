/*
 * send_many_nonblocking.c: send messages on several channels at once from one thread.
 *
 * With ZEM_PARAM_AUTO_CALL set to 0 a request only sets its channel up and returns;
 * the program then calls zemDriver for each channel in turn. zemDriver runs one short
 * step and answers 0 when the request is done, a negative code when it failed, and a
 * positive value (ZEM_DRIVER_WAIT or the next state) when it wants to be called again.
 * So one loop keeps every connection moving without threads.
 *
 * Each channel goes through: connect -> send -> quit -> done.
 *
 * Settings come from the environment (defaults in brackets):
 *   ZEM_SMTP_HOST [127.0.0.1]   ZEM_SMTP_PORT [25]   ZEM_CHANNELS [4]
 *   ZEM_SMTP_USER, ZEM_SMTP_PASSWORD   authenticate when set
 *   ZEM_MAIL_FROM [alice@zem.test]     ZEM_MAIL_TO [bob@zem.test]
 *
 * Build: cc send_many_nonblocking.c $(pkg-config --cflags --libs zem32) -o send_many_nonblocking
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <zem32.h>

enum Phase { CONNECTING, SENDING, QUITTING, DONE, FAILED };

struct Job {
    enum Phase phase;
    char subject[64];
    char text[128];
};

static const char *env(const char *name, const char *fallback) {
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

static void report(int32_t chan, const char *what, int32_t code) {
    char text[256];
    zemErrorText(chan, code, text, sizeof text);
    fprintf(stderr, "channel %d: %s failed: %d %s\n", chan, what, code, text);
}

int main(void) {
    const char *host = env("ZEM_SMTP_HOST", "127.0.0.1");
    const char *user = env("ZEM_SMTP_USER", NULL);
    int channels = atoi(env("ZEM_CHANNELS", "4"));
    char from[160], to[160];
    struct Job jobs[16];
    int chan, busy, failed = 0;

    if (channels < 1 || channels > 16) channels = 4;
    snprintf(from, sizeof from, "<%s>", env("ZEM_MAIL_FROM", "alice@zem.test"));
    snprintf(to, sizeof to, "<%s>", env("ZEM_MAIL_TO", "bob@zem.test"));

    if (zemAttach(channels, 0) != 1) return 1;

    /* Set every channel up and start its connect; each call returns at once. */
    for (chan = 0; chan < channels; chan++) {
        int32_t rc;
        zemIntegerParam(chan, ZEM_PARAM_AUTO_CALL, 0);
        zemIntegerParam(chan, ZEM_PARAM_SMTP_PORT, atoi(env("ZEM_SMTP_PORT", "25")));
        if (user) {
            zemIntegerParam(chan, ZEM_PARAM_USE_EHLO, 1);
            zemStringParam(chan, ZEM_STRING_USER_NAME, user);
            zemStringParam(chan, ZEM_STRING_AUTH_PASSWORD, env("ZEM_SMTP_PASSWORD", ""));
        }
        snprintf(jobs[chan].subject, sizeof jobs[chan].subject, "Message %d of %d", chan + 1, channels);
        snprintf(jobs[chan].text, sizeof jobs[chan].text, "Sent on channel %d, driven by zemDriver.\r\n", chan);
        rc = zemSmtpConnect(chan, host, from, "");
        jobs[chan].phase = rc < 0 ? FAILED : CONNECTING;
        if (rc < 0) report(chan, "zemSmtpConnect", rc);
    }

    /* The one loop: one step per busy channel per round. */
    do {
        busy = 0;
        for (chan = 0; chan < channels; chan++) {
            struct Job *job = &jobs[chan];
            int32_t r;
            if (job->phase == DONE || job->phase == FAILED) continue;
            busy++;
            r = zemDriver(chan);
            if (r > 0) continue; /* call again */
            if (r < 0) {
                report(chan, job->phase == CONNECTING ? "connect" : job->phase == SENDING ? "send" : "quit", r);
                job->phase = FAILED;
                continue;
            }
            /* r == 0: this channel's request is done; start its next one. */
            if (job->phase == CONNECTING) {
                r = zemSendEmail(chan, to, "", "", job->subject, job->text, "");
                job->phase = r < 0 ? FAILED : SENDING;
                if (r < 0) report(chan, "zemSendEmail", r);
            } else if (job->phase == SENDING) {
                printf("channel %d: sent \"%s\"\n", chan, job->subject);
                zemClose(chan); /* starts QUIT; the loop drives it */
                job->phase = QUITTING;
            } else {
                job->phase = DONE;
            }
        }
        /* Sleep until a channel can go on: its server answered, its socket can take more,
         * or its time came. It returns at once when one can already. */
        if (busy) zemWaitAny(1000);
    } while (busy);

    for (chan = 0; chan < channels; chan++)
        if (jobs[chan].phase != DONE) failed++;
    printf("%d of %d messages sent\n", channels - failed, channels);

    /* Frees every channel's buffers, including those of the requests made above. */
    zemRelease();
    return failed ? 4 : 0;
}
