# Every target of ours builds with -Wall -Wextra; scripts/test fails the run on any warning.
add_compile_options(-Wall -Wextra)
