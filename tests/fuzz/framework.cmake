# The framework's readers of server answers: the More-apps list, and the
# icons it names (PNG or JPEG, with their declared sizes read first).
qm_fuzz_target(applist framework)
qm_fuzz_target(icon platform_graphics)
