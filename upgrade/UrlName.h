#pragma once
// The name part of an entry as it goes into a download URL. The entry is ANSI
// text from the upgrade list; a space, '#', '%' or '?' in a file name would
// otherwise end or change the URL's path.

#include <string>

// `bytes` with every byte outside the characters a URL path may carry as they
// are (letters, digits, - . _ ~, the sub-delimiters ! $ & ' ( ) * + , ; =
// and @) written as '%' and two upper-case hex digits. Plain names such as
// "Marlowcast.exe" come back unchanged; a space becomes "%20" and every byte
// of 0x80 and above is encoded on its own, so the server sees the file name's
// bytes in the system code page.
std::string EncodeUrlNamePart(const std::string& bytes);
