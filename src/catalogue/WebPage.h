#pragma once

#include "platform/AtlString.h"

// Opens a page that a product list or an update server named in the user's browser, with
// the wait cursor while the browser starts. Only http and https addresses are handed on:
// anything else (a file: address, a path, a program name, nothing at all) could make the
// desktop start a local program on the network's say-so. When the address is refused or no
// browser starts, a warning gives the address to open by hand. True when a browser started.
bool OpenWebPage(const CAtlString& url);
// url as a browser's address bar takes it, when it is an http or https address with a host:
// surrounding white space dropped, spaces and other characters an address may not hold
// percent-encoded ("a b" gives "a%20b", a "|" in the query "%7C"), what is already encoded
// left as it is, a "%" that starts no escape encoded itself. Empty for anything else.
CAtlString BrowserAddress(const CAtlString& url);
// A file in a folder that a product list or version file names by its URL:
// "http://host/dir/", "…/dir" and "…/dir//" all become "…/dir/" + file (trailing "/" go
// first, then trailing "\", then one "/" joins).
CAtlString JoinUrl(CAtlString base, const CAtlString& file);
