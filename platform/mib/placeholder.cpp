// replaced by the agent
