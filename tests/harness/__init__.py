"""Test bench of the Lumenvast downloader: loopback servers and Wine sessions."""
