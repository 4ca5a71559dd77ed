"""The image budget check behind scripts/budget_check.py, one module a job:
elf (the linked image through pyelftools), thumb (what one instruction does),
walker (the image's routines and the one walk of their control flow),
callgraph (the compiler's stack-usage and call-graph files), analysis (call
chains, floating-point use, the thread's split), priority_plan (levels and
how they nest) and report (the figures and their text)."""
