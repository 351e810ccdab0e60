"""The simulated Tails host used by the end-to-end tests and the demo."""
