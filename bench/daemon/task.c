/* The program the daemon benchmark's items run: it appends "S <index> <ns>"
 * when it starts, then sleeps, and "E <index> <ns>" when it ends or
 * "T <index> <ns>" when it is asked to end (SIGTERM), to the times file. */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int out = -1;
static const char *index_text = "";

static void Note(char kind) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char line[64];
    int n = snprintf(line, sizeof line, "%c %s %lld\n", kind, index_text,
                     (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    if (write(out, line, (size_t)n) != n) _exit(3);
}

static void OnTerm(int signal_number) {
    (void)signal_number;
    Note('T');
    _exit(143);
}

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    out = open(argv[1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (out < 0) return 2;
    index_text = argv[3];
    signal(SIGTERM, OnTerm);
    Note('S');
    long ms = atol(argv[2]);
    struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
    Note('E');
    return 0;
}
