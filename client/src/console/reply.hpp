// The console's one reply form: a fixed head with the status, the content type, the body
// length, "cache-control: no-store" and "connection: close", then exactly the body.
#pragma once

#include <string>
#include <string_view>

namespace quillmar {

std::string console_reply(std::string_view status, std::string_view content_type,
                          std::string_view body);

// "200 OK", application/json.
std::string json_response(std::string body);
// The embedded page and icon.
std::string page_response();
std::string favicon_response();
// The refusals of the request checks and of unknown routes, as plain text.
std::string forbidden_response();
std::string not_found_response();
std::string too_large_response();

}  // namespace quillmar
