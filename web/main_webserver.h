#pragma once
// The web thread: serves the API and the static pages on
// http://localhost:8088 (or the port --http-port names) while a board is
// connected, or while a vanished board's port is waited for, and the user has
// not typed "http_stop"; stops and starts again as the session changes,
// woken by it.

#include <atomic>
#include <cstdint>

#include "web/web_access.h"

// Entry of the web thread. Returns 0 once the console has quit and the
// server, if it ran, has stopped.
inline constexpr int kDefaultHttpPort = 8088;
// access says where it listens and who it answers (web/web_access.h).
int main_webserver(int port = kDefaultHttpPort, const WebAccess& access = {});
