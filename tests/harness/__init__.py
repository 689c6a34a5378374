"""What the test tiers share: the test run's plugin (tiers, counts, the
platform-start budget), the platforms (the x64 Wine prefix, the ARM64
emulation's sessions), and the runner that starts Windows programs on them."""
