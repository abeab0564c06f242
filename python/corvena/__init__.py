"""Command-line front end of the _corvena BUFR reader."""
