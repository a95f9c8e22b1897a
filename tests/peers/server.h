// What every peer fixture does with its server process: a free port, a start that waits until
// the server accepts, and a stop. Used by the tests and the benchmarks alike.
#ifndef LIBVUX_TESTS_PEERS_SERVER_H
#define LIBVUX_TESTS_PEERS_SERVER_H

#include <functional>
#include <string>

namespace peers {

// The first executable `name` in a directory of PATH, or "".
std::string Which(const std::string& name);

// A TCP port on `address` that nothing listens on right now.
int FreePort(const std::string& address = "127.0.0.1");

// True when a TCP connection to address:port is accepted.
bool Accepts(const std::string& address, int port);

// Waits up to 10 seconds until address:port accepts; throws std::runtime_error with the text
// of `log` when the process `pid` (when > 0) ends first or nothing answers.
void WaitAccepting(const std::string& address, int port, int pid, const std::string& log);

// Runs argv[0] with PR_SET_PDEATHSIG, after `prepare` in the child (its false ends the child
// with 126), and waits as WaitAccepting does; a server that does not answer is stopped.
int StartServer(const char* const argv[], const std::string& address, int port, const std::string& log,
                const std::function<bool()>& prepare = nullptr);
// SIGTERM and wait; pid becomes -1. Nothing for pid <= 0.
void StopServer(int& pid);

// Why no unprivileged account can reach a home or run anything here ("/" closed to others, as
// in some minimal roots), or "".
std::string RootClosedToOthers();

}  // namespace peers

#endif
