// Encoding handlers for the XML reader backed by the system's code-page
// conversions, so that a document declaring a code page ("windows-1252") reads
// the same on every platform. Where the XML library converts code pages itself
// (Linux, through iconv) the system lists none and nothing is registered.
//
// Threads: call once at start, before any document is parsed; later calls do
// nothing.
#ifndef QUILLRADE_ENGINE_XML_ENCODINGS_H_
#define QUILLRADE_ENGINE_XML_ENCODINGS_H_

// Registers one handler per code page of SystemCodePageEncodings (and its
// alias). Returns how many handlers were registered.
int RegisterSystemXmlEncodings();

#endif  // QUILLRADE_ENGINE_XML_ENCODINGS_H_
