// The one rule for the addresses patches are fetched from. The program offers a language only at
// an address that passes it, and the publisher's tool writes and verifies manifests with it, so a
// release the tool passes never gives players a button that can't download, and the tool never
// refuses an address the program would fetch.
#pragma once

#include <string>

#include "core/Status.h"

namespace qdt {

struct FetchableAddress
{
    bool secure = false; // https
    // As a name server is asked for it: lower case, an international label in its "xn--" form;
    // an IPv6 address without its brackets.
    std::string host;
    int port = 0; // 0: the scheme's own
};

// Whether the patcher fetches `address` (UTF-8 text), and if not, why (a phrase that completes
// "the patcher would not fetch it: ..."). Fetched are addresses of the form
//   http:// or https://, any case
//   a host: a name of dot-separated labels, each of letters, digits and inner hyphens and at most
//     63 characters in its ASCII form ("xn--" for international letters: Latin, Greek, Cyrillic,
//     Japanese kana, Chinese ideographs, Hangul); or four numbers up to 255 (an IPv4 address);
//     or an IPv6 address in brackets
//   an optional port from 1 to 65535
//   then a path, query and fragment free of control characters, blanks and backslashes, where
//     "%" starts two hexadecimal digits.
// A user name or password before the host is refused: the address is public and goes into the
// logs players attach to bug reports.
Result<FetchableAddress> checkFetchableAddress(const std::string& address);

} // namespace qdt
