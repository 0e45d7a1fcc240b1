// Hides credentials in URLs shown on the observability pages (/status.json,
// /tasks): the password of a "user:password@" authority (or the whole user part
// when it has no password) and the values of query keys that commonly carry
// secrets (password, pass, key, token, secret, api_key and the like) become
// "***". The console, "/" and the telnet feed keep the URLs as they always
// printed them. Pure: any thread.
#ifndef QUILLRADE_STATUS_URL_MASK_H_
#define QUILLRADE_STATUS_URL_MASK_H_

#include <string>
#include <string_view>

// What a masked credential is shown as.
constexpr char kMaskedCredential[] = "***";

// `url` with its credentials masked; unchanged when it holds none.
std::string MaskUrlCredentials(std::string_view url);

#endif  // QUILLRADE_STATUS_URL_MASK_H_
