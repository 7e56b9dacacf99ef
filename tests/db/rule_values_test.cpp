// tests come with the code
