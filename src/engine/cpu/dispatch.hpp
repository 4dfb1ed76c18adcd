// Runtime selection of vector instructions for hot loops: the function is compiled for
// x86-64-v4, x86-64-v3 and the baseline, and the loader picks one for the processor.
//
// ThreadSanitizer cannot run the loader's selection functions (they run before its runtime
// starts), so instrumented builds use the baseline alone. An attribute cannot be produced by
// a template, hence the macro.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define ZEVRA_CPU_DISPATCH
#else
#define ZEVRA_CPU_DISPATCH [[gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]]
#endif
