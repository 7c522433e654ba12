# cmake -DIN=README.txt.in -DOUT=README.txt -DSCANFW_VERSION=A.B.C.D -P write_readme.cmake
# The package's README.txt from its template: @SCANFW_VERSION@ filled in, CRLF line ends and a
# UTF-8 byte-order mark, without which Notepad on older Windows takes the Chinese text for ANSI.
file(READ "${IN}" _text)
string(CONFIGURE "${_text}" _text @ONLY)
string(REPLACE "\r\n" "\n" _text "${_text}")
string(REPLACE "\n" "\r\n" _text "${_text}")
string(ASCII 239 187 191 _bom)
file(WRITE "${OUT}" "${_bom}${_text}")
