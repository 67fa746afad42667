// Built into the test programs of a ThreadSanitizer build only.
//
// OpenNI, loaded with the point cloud library's I/O module, unlocks mutexes
// it has already destroyed while it initialises; that is not ours to fix,
// and the reports would fail every test program before it starts.
// Visible, whatever the build's default, so that the sanitizer finds it.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions()
{
    return "mutex:libOpenNI2.so.0\n";
}
