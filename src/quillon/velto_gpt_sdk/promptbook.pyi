prompts_list: dict[str, str]
