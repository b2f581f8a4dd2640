// Included (last among the includes) by translation units whose float
// arithmetic must follow the written order exactly: multiplies and adds are
// never fused into one rounding. Deliberately without include guard, as it
// sets a per-file option.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif
