// The leak checker of sanitizer builds reports memory that the codec libraries themselves lose:
// the HEVC encoder behind libheif keeps a small block of every picture it encodes (the testkit
// encodes test files with it), and the AV1 decoder keeps one when a damaged stream makes it
// give up. Neither is ours to free; everything else is still checked.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n"
           "leak:libdav1d.so\n";
}
