#pragma once
// The web thread: serves the API and the static pages on
// http://localhost:8088 (or the port --http-port names) while a board is
// connected, or while a vanished board's port is waited for, and the user has
// not typed "http_stop"; stops and starts again as those change.

#include <atomic>
#include <cstdint>

// 1 while the web thread is serving, from before its listener opens until
// the listener has closed. Written by the web thread only.
extern std::atomic<int32_t> http_running;

// Whether the web front end should serve now: a board connected or waited
// for, no "http_stop", no quit.
bool serving_wanted();
// Whoever changes what serving_wanted() reads calls this afterwards: the web
// thread then starts or stops serving at once. Any thread; cheap.
void web_wake();

// Entry of the web thread. Returns 0 once the console has quit and the
// server, if it ran, has stopped.
inline constexpr int kDefaultHttpPort = 8088;
int main_webserver(int port = kDefaultHttpPort);
