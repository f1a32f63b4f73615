"""What ostik writes for people and for CI: text reports, the HTML page, JUnit XML, GitHub annotations."""
