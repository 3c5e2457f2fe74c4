// tessik_dm_stub: a Device Manager stand-in on a loopback port. It answers the service's Connect
// and requests and prints every Arrival and Removal until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "peers/DmStub.h"

int main(int argc, char** argv) {
    int port = 4401;
    int heartBeat = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (word == "--heartbeat" && i + 1 < argc) {
            heartBeat = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--port N] [--heartbeat SECONDS]\n", argv[0]);
            return 2;
        }
    }
    // The signals are taken by sigwait below, not by handlers.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    peers::CDmStub stub;
    if (!stub.Start(port, heartBeat, true)) {
        std::fprintf(stderr, "DM stub: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
        return 1;
    }
    std::printf("DM stub: listening on 127.0.0.1:%d\n", stub.Port());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    stub.Stop();
    std::printf("DM stub: %d arrival(s), %d removal(s)\n", stub.Count("Arrival"), stub.Count("Removal"));
    return 0;
}
