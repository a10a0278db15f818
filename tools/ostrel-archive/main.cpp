#include "ostrel-archive/ArchiveTool.h"

#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::atomic<bool> interrupted{false};

extern "C" void onSignal(int) { interrupted.store(true); }

} // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    return ostrel::ArchiveTool::main(args, std::cout, std::cerr, interrupted);
}
