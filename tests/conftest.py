# The test run's plugin: tiers, counts, the platforms as fixtures.
pytest_plugins = ["harness.plugin"]
