#pragma once
// Which validator of a response may guard a range request (If-Range), by the
// HTTP rules: a range is only ever asked of the very same bytes, so only a
// strong validator will do. Portable: no Windows call.

#include <cstdint>
#include <optional>
#include <string>

// Seconds since 1970-01-01 00:00:00 UTC of an HTTP date in any of its three
// forms ("Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
// "Sun Nov  6 08:49:37 1994"); nullopt for anything else.
std::optional<int64_t> ParseHttpDate(const std::string& text);

// A strong ETag; else the Last-Modified date when the response's Date is at
// least one second later (the same second may have seen two versions); else
// empty: nothing may be continued.
std::string IfRangeValidator(const std::string& etag, const std::string& lastModified,
                             const std::string& date);
