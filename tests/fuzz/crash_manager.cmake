# Readers of untrusted bytes in the crash report manager.
qm_fuzz_target(crash_log_text crash_manager)
