// Keeps a layer library non-empty while its folders hold no source of that kind yet.
namespace kestrom::platform {
[[maybe_unused]] constexpr int kFakesAnchor = 0;
}
