// Placeholder until the port layer lands.
