// Placeholder: the template object and its tokenizer are filled in by their own change.
#include "ZRTHtmlFile.h"

ZRTHtmlFile::ZRTHtmlFile()
    : _inStream(nullptr), _outStream(nullptr), _tokenKind(TOKEN_OTHER), _path(nullptr) {}
ZRTHtmlFile::ZRTHtmlFile(const char* path)
    : _inStream(nullptr), _outStream(nullptr), _tokenKind(TOKEN_OTHER), _path(path) {}
ZRTHtmlFile& ZRTHtmlFile::operator=(const ZRTHtmlFile&) = default;
ZRTHtmlFile::~ZRTHtmlFile() = default;
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextToken() { return TOKEN_OTHER; }
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenSTART() { return TOKEN_OTHER; }
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenANNOT() { return TOKEN_OTHER; }
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenURL() { return TOKEN_OTHER; }
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenDB() { return TOKEN_OTHER; }
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenINDEX() { return TOKEN_OTHER; }
int ZRTHtmlFile::readTokenChar() { return -1; }
ZRTHtmlFile::Tokens ZRTHtmlFile::matchSuffix(const char*, Tokens) { return TOKEN_OTHER; }
