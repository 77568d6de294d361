// Station texts and titles on their way to a server. Inside the engine a text is UTF-8; each
// server is sent the bytes it reads the way they were meant.
#pragma once

#include <string>

namespace bassx::text {

enum class Charset { Latin1, Utf8 };

// How a server shows the texts of a stream of that content type. Icecast 2.4 without a
// <charset> on the mount reads the headers and titles of Ogg and Matroska/WebM streams as
// UTF-8 and those of every other stream (MP3, AAC, ...) as ISO-8859-1, as SHOUTcast servers
// and their listeners do.
Charset charsetFor(const std::string& contentType);

// The caller's text as UTF-8: on Windows from the ANSI code page; elsewhere the text itself,
// where a byte that starts no valid UTF-8 sequence is taken for the Latin-1 character of its
// value (a settings file from an 8-bit system loses nothing).
std::string fromCaller(const std::string& text);
// UTF-8 text back in the caller's encoding, for a program's command line: on Windows in the
// ANSI code page (a character it lacks becomes its nearest likeness or "?"); elsewhere as it is.
std::string toCaller(const std::string& utf8);
std::string repairedUtf8(const std::string& text);

// UTF-8 text in that charset's bytes. Into Latin-1, a character it lacks is dropped, but
// typographic dashes, quotes and the ellipsis become their ASCII likeness first.
std::string encode(const std::string& utf8, Charset charset);
// The same choice of characters, kept as UTF-8: for a server that is told the text is UTF-8
// and converts it to its own charset itself.
std::string restrictTo(const std::string& utf8, Charset charset);

}  // namespace bassx::text
