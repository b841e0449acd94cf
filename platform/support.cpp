// Anchors the comrt_support library; its parts live in dispatch/, events/ and threading/.
namespace comrt {
int support_library_anchor = 0;
}
