// Anchors libcomrt; its parts live in com/, automation/, registry/ and time/.
namespace comrt {
int runtime_library_anchor = 0;
}
