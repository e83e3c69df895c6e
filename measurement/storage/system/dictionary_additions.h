// URL query strings to and from dictionaries, and URL path segments. Pure functions; any thread.
#pragma once

#include <string>

#include "platform/object.h"

// "key=value" per entry in the dictionary's order (keys ascending), joined
// with "&"; key and value are their description texts, percent-encoded with
// the URL-query-allowed set (so "&", "=" and "+" stay as they are). Empty for
// an empty dictionary.
std::string apm_queryString(const platform::Object::Dictionary& dictionary);

// The text as one segment of a URL path: percent-encoded like query texts,
// and "/" and "?" too; "." and ".." encoded whole.
std::string apm_URLPathSegmentEncoded(const std::string& text);

// The arguments of a query string ("a=1&b=x+y") as a dictionary of strings,
// each key and value unescaped with `apm_stringByUnescapingFromURLArgument`
// (a failed unescape gives the empty string); a part without "=" gives its
// key the empty value; the first occurrence of a repeated key wins.
platform::Object::Dictionary apm_dictionaryWithHttpArgumentsString(const std::string& string);
