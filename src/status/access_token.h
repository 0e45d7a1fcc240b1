// The [global] access_token of the status channels: how a client gives it and how
// it is compared. An HTTP client gives it as "Authorization: Bearer <token>", as
// the password of HTTP Basic (any user name), or in the raw query as a leading
// "token=<token>&" or a trailing "&token=<token>", which is cut off before the
// rest of the query is read, so it never becomes part of a pushed value or of
// the confirmation page. The telnet feed asks for it in one line.
//
// Pure functions; any thread.
#ifndef QUILLRADE_STATUS_ACCESS_TOKEN_H_
#define QUILLRADE_STATUS_ACCESS_TOKEN_H_

#include <string>
#include <string_view>

// Whether `given` is `token`. The time taken depends on the length of `given`
// only, never on where the two first differ nor on the token's length, so a
// client cannot learn the token byte by byte. An empty token matches nothing.
bool AccessTokenMatches(std::string_view given, std::string_view token);

// The credential an "Authorization" header value carries: the text after
// "Bearer ", or the password (after the first ":") of the decoded "Basic " pair.
// The scheme's letter case is ignored. Empty when the header carries neither.
std::string CredentialOfAuthorization(std::string_view header);

// Cuts "token=<token>&" from the front of `query`, "&token=<token>" from its end,
// or the whole query when it is just "token=<token>", where <token> must match
// `token`; true when it cut. Any other text, a wrong token among it, is left as
// it stands.
bool CutQueryToken(std::string& query, std::string_view token);

#endif  // QUILLRADE_STATUS_ACCESS_TOKEN_H_
