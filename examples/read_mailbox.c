/*
 * read_mailbox.c: list a POP3 mailbox and save every message with its attachments.
 *
 * Blocking mode: each call returns its result directly. Messages are saved as
 * DIR/msg-N.eml; attachments are decoded into DIR as files of their own, and their
 * names are read back with zemDebug(ZEM_DEBUG_SAVED_LIST).
 *
 * Settings come from the environment (defaults in brackets):
 *   ZEM_POP3_HOST [127.0.0.1]   ZEM_POP3_PORT [110]
 *   ZEM_POP3_USER [alice@zem.test]   ZEM_POP3_PASSWORD [alice-secret]
 *   ZEM_MAIL_DIR [mail]   ZEM_APOP=1 logs in with APOP   ZEM_DELETE=1 deletes saved messages
 *
 * Build: cc read_mailbox.c $(pkg-config --cflags --libs zem32) -o read_mailbox
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <zem32.h>

static const char *env(const char *name, const char *fallback) {
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

static void report(const char *what, int32_t code) {
    char text[256];
    zemErrorText(0, code, text, sizeof text);
    fprintf(stderr, "%s failed: %d %s\n", what, code, text);
}

int main(void) {
    const char *dir = env("ZEM_MAIL_DIR", "mail");
    int remove_saved = atoi(env("ZEM_DELETE", "0")) != 0;
    char dirslash[128], name[32], uid[256], saved[1100];
    int32_t rc, count, msg;
    int failures = 0;

    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        perror(dir);
        return 2;
    }
    /* The library joins directory and file name as given: end the directory with '/'. */
    snprintf(dirslash, sizeof dirslash, "%s/", dir);

    if (zemAttach(1, 0) != 1) return 1;
    zemIntegerParam(0, ZEM_PARAM_POP3_PORT, atoi(env("ZEM_POP3_PORT", "110")));
    zemIntegerParam(0, ZEM_PARAM_USE_APOP, atoi(env("ZEM_APOP", "0")));
    /* Saved attachment names are listed with this separator. */
    zemIntegerParam(0, ZEM_PARAM_ATTACH_SEP, '\n');

    rc = zemPop3Connect(0, env("ZEM_POP3_HOST", "127.0.0.1"), env("ZEM_POP3_USER", "alice@zem.test"),
                        env("ZEM_POP3_PASSWORD", "alice-secret"));
    if (rc < 0) {
        report("zemPop3Connect", rc);
        zemRelease();
        return 3;
    }

    count = zemGetEmailCount(0);
    if (count < 0) {
        report("zemGetEmailCount", count);
        zemRelease();
        return 4;
    }
    printf("%d message(s)\n", count);

    for (msg = 1; msg <= count; msg++) {
        int32_t size = zemGetEmailSize(0, msg);
        /* A single UIDL reply reads "+OK n unique-id" with its CR LF: keep the id. */
        const char *id = "";
        if (zemGetEmailUID(0, msg, uid, sizeof uid) > 0 && strncmp(uid, "+OK ", 4) == 0) {
            uid[strcspn(uid, "\r\n")] = '\0';
            id = strrchr(uid, ' ') + 1;
        }
        printf("message %d: %d bytes, unique id %s\n", msg, size, id);

        snprintf(name, sizeof name, "msg-%d.eml", msg);
        rc = zemGetEmailFile(0, msg, name, dirslash, dirslash);
        if (rc < 0) {
            report("zemGetEmailFile", rc);
            failures++;
            break; /* a failed request closes the connection */
        }
        printf("  saved %s%s, %d attachment(s)\n", dirslash, name, zemStatistics(0, ZEM_STAT_ATTACH_SAVED));
        if (zemDebug(0, ZEM_DEBUG_SAVED_LIST, saved, sizeof saved) > 0) {
            char *line = strtok(saved, "\n");
            for (; line; line = strtok(NULL, "\n")) printf("  attachment %s%s\n", dirslash, line);
        }
        /* Deletion becomes final only with the QUIT that zemClose sends. */
        if (remove_saved) zemDeleteEmail(0, msg);
    }

    rc = zemClose(0);
    if (rc < 0 && remove_saved) report("zemClose (deletions not committed)", rc);
    zemRelease();
    return failures ? 4 : 0;
}
