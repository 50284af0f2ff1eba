// The product-setting and file helpers of the diagnostics tests, built into
// this test program as well.
#include "../diagnostics/product_settings.cpp"
