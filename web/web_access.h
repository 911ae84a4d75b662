#pragma once
// Who may use the web front end. By default tessaro listens on loopback
// only and answers requests addressed to this machine's loopback names;
// asked to listen on another address, it answers only requests that carry
// a token, as "Authorization: Bearer TOKEN" or as the cookie that opening
// /?token=TOKEN once sets (HttpOnly, SameSite=Strict).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct WebAccess {
    // The address listened on: "localhost" (both loopback addresses) by
    // default, 0.0.0.0 or :: for every address.
    std::string listen = "localhost";
    // Names a request may be addressed to (its Host) besides the loopback
    // names and the listen address.
    std::vector<std::string> allowed_hosts;
    // When not empty, every request must carry it.
    std::string token;
};

// localhost, 127.D.D.D or ::1 (bracketed or not).
bool is_loopback_address(std::string_view address);

// The token's default file, from the environment's values (null when
// unset): $XDG_STATE_HOME/tessaro/token, else ~/.local/state/tessaro/token;
// empty when neither gives an absolute path.
std::string default_token_path(const char* xdg_state_home, const char* home);
// The token on the file's first line. With create, a file that does not
// exist yet is made, mode 0600 in folders of mode 0700, holding 32 random
// bytes from the system's random source in hex. Nothing, with why, when the
// file cannot be read or made, is a symbolic link, or holds no token.
std::optional<std::string> load_token(const std::string& path, bool create, std::string& why);
// Equal texts, in a time that does not depend on where they differ.
bool same_token(std::string_view given, std::string_view token);
// The cookie's name: one per port, so that two tessaros on one machine do
// not take each other's cookie.
std::string token_cookie_name(int port);
// The address a person opens, for the start line: the listen address (or,
// listening on every address, the first name allowed, else 127.0.0.1),
// with the token when one is needed.
std::string web_url(const WebAccess& access, int port);
