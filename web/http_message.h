#pragma once
// A request and its answer as the route handlers see them: plain values,
// free of the HTTP library, so that a handler can run on any thread while
// the server's loop goes on with other connections.

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string method;  // "GET", "POST", "HEAD", ...
    std::string path;    // percent-decoded, without the query
    // The path's {pin} parts as they matched, after the whole path at [0].
    std::vector<std::string> matches;
    // Query parameters, percent-decoded, in the order given.
    std::vector<std::pair<std::string, std::string>> params;
    // Headers as they came, names as sent; a header without a value is kept.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // Header names compare without regard to case.
    bool has_header(std::string_view name) const { return find_header(name) != nullptr; }
    std::string header(std::string_view name) const {
        const std::string* value = find_header(name);
        return value ? *value : std::string();
    }
    bool has_param(std::string_view name) const {
        return std::any_of(params.begin(), params.end(),
                           [&](const auto& param) { return param.first == name; });
    }
    // The first value of the parameter; empty when there is none.
    std::string param(std::string_view name) const {
        for (const auto& [key, value] : params) {
            if (key == name) {
                return value;
            }
        }
        return {};
    }

  private:
    const std::string* find_header(std::string_view name) const {
        for (const auto& [key, value] : headers) {
            if (std::equal(key.begin(), key.end(), name.begin(), name.end(), [](char a, char b) {
                    return std::tolower(static_cast<unsigned char>(a)) ==
                           std::tolower(static_cast<unsigned char>(b));
                })) {
                return &value;
            }
        }
        return nullptr;
    }
};

struct HttpResponse {
    int status = 200;
    std::string body;
    std::string content_type;  // empty: no Content-Type
    std::vector<std::pair<std::string, std::string>> headers;
    // The connection ends after this answer.
    bool close = false;

    void set_content(std::string text, std::string type) {
        body = std::move(text);
        content_type = std::move(type);
    }
    void set_header(std::string name, std::string value) {
        headers.emplace_back(std::move(name), std::move(value));
    }
    void set_redirect(const std::string& location, int code) {
        status = code;
        set_header("Location", location);
    }
};
