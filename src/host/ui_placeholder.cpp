// Keeps the application library non-empty while its folders fill.
namespace kelvo {
int hostUiLinked() { return 0; }
}  // namespace kelvo
